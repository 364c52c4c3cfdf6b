#pragma once

#include <array>

#include "SignalHistory.h"
#include "TlsTypes.h"

namespace zelto {

//! Sensitivity of the augmented observation rows to the measured quantities.
//!
//! G_i (17 × 15): G_i(p, q) = ∂D(i, p)/∂z_q for row i of D (0..2 force x, y, z; 3..5 torque
//! x, y, z), parameter column p (0..15; 16 is the measured-wrench column) and measurement
//! z = (a, ω, α, f, τ), each x, y, z.
class ErrorModel {
 public:
  //! G_i for one sample; std::out_of_range unless 0 ≤ i ≤ 5.
  virtual RowJacobian jacobian(int i, const InertialSample& sample) const = 0;

 protected:
  ErrorModel() = default;
  ErrorModel(const ErrorModel&) = default;
  ErrorModel& operator=(const ErrorModel&) = default;
  // Owners hold the concrete type; a protected destructor rules out deleting through the base.
  ~ErrorModel() = default;
};

//! Jacobians of the rows of ObservationModelTLSWrenchBias:
//!   f = b − m·a − (α × h + ω × (ω × h)),   τ = t + a × h − (J·α + ω × (J·ω)),   h = m·c.
//! The a, α, f and τ dependences are constant; only the ω products change per sample. The
//! bias columns 10..15 of D are constants, so their rows are zero in every G_i.
class ErrorModelTLSWrenchBias final : public ErrorModel {
 public:
  //! The blocks of the G_i that depend on the sample: columns ω and α of the rows of h
  //! (1..3) for the force rows and of the inertia (4..9) for the torque rows. Everything else
  //! in G_i is constant; a plain value, so that one sample's Jacobians travel with its rows.
  struct SampleJacobians {
    std::array<Eigen::Matrix<double, 3, 6>, 3> force;   //!< G_i rows 1..3, i = 0..2
    std::array<Eigen::Matrix<double, 6, 6>, 3> torque;  //!< G_i rows 4..9, i = 3..5
  };

  ErrorModelTLSWrenchBias();

  SampleJacobians sampleJacobians(const InertialSample& sample) const;

  RowJacobian jacobian(int i, const InertialSample& sample) const override;
  //! G_i as a full matrix; std::out_of_range unless 0 ≤ i ≤ 5.
  RowJacobian jacobian(int i, const SampleJacobians& g) const;

  //! Q_i = G_i·diag(σ²)·G_iᵀ for the sample's Jacobians and the 15 variances σ² (order of z),
  //! built from the non-zero blocks of G_i. Each row type has a fixed pattern of entries that
  //! can be non-zero (force rows: (0,0), rows/columns 1..3, (16,16); torque rows: rows/columns
  //! 1..3, rows/columns 4..9, (16,16)); only those entries of q are written, so q must be zero
  //! elsewhere (keep one matrix per row type across samples). std::out_of_range unless
  //! 0 ≤ i ≤ 5.
  void writeRowErrorCovariance(int i, const SampleJacobians& g, const MeasurementVector& variances,
                               AugmentedMatrix& q) const;
  //! Q_i as a full matrix.
  AugmentedMatrix rowErrorCovariance(int i, const SampleJacobians& g,
                                     const MeasurementVector& variances) const;
  //! wᵀ·G_i: how the residual of row i at the augmented parameters w moves with each
  //! measurement, from the non-zero blocks of G_i. std::out_of_range unless 0 ≤ i ≤ 5.
  Eigen::Matrix<double, 1, kNumMeasurements> residualSensitivity(int i, const SampleJacobians& g,
                                                                 const AugmentedVector& w) const;

 private:
  //! The constant entries of every G_i (the ω entries zero, as for ω = 0).
  std::array<RowJacobian, kRowsPerSample> constant_;
};

}  // namespace zelto
