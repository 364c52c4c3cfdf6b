#pragma once

#include <array>
#include <memory>

#include "ErrorModel.h"
#include "EstimationAlgorithm.h"
#include "ObservationModel.h"

namespace zelto {

//! Recursive total least squares for the payload's inertial parameters and the sensor's
//! force and torque bias. Every sample gives six rows of D = [H, −(f; τ)] (force x, y, z,
//! torque x, y, z); each row updates P = (I/100 + Σ r·rᵀ)⁻¹ by Sherman–Morrison and then θ by
//! one step of inverse iteration for the pencil (Σ r·rᵀ + I/100, Q̄), Q̄ being the mean row
//! error covariance. The covariance tracker receives every row.
//!
//! The progress line "[ESTIMATOR] Estimating, keep moving the payload..." is printed at most
//! once per second of steady-clock time across all objects and threads of the process.
class RecursiveTLSWrenchBias : public EstimationAlgorithm {
 public:
  RecursiveTLSWrenchBias();
  ~RecursiveTLSWrenchBias() override;

  int getNumParameters() const override { return kNumParameters; }
  bool update(const InertialSample& sample) override;
  InertialSample getBiasSolution() const override;
  //! Prints "RecursiveTLSWrenchBias Bias Variance not implemented!" on std::cout (every
  //! call) and returns an all-zero sample.
  InertialSample getBiasVariance() const override;

 protected:
  std::unique_ptr<ObservationModelTLSWrenchBias> observationModel;
  std::unique_ptr<ErrorModelTLSWrenchBias> errorModel;

 private:
  // Per-row error covariances of the current sample. Their zero pattern never changes, so
  // only the structurally non-zero entries are written per sample.
  std::array<AugmentedMatrix, kRowsPerSample> rowErrorCovariance_;
};

//! A default-constructed RecursiveTLSWrenchBias, owned through the abstract base.
std::unique_ptr<EstimationAlgorithm> createRecursiveTLSWrenchBias();

}  // namespace zelto
