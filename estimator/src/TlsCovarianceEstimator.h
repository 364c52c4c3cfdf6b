#pragma once

#include <array>

#include "TlsTypes.h"

namespace zelto {

//! Tracks the covariance of the recursive TLS estimate θ.
//!
//! It accumulates, from every row r the estimator consumes (h = r[0..15], Q the row's error
//! covariance, t its row type 0..5 = force x, y, z, torque x, y, z):
//!   S   = I/100 + Σ r·rᵀ        (17 × 17, the regularised information of the rows)
//!   n_t = rows of type t,  C_t = Σ Q over type t,  H_t = Σ h·hᵀ over type t
//! and the newest θ. getCovariance() evaluates, at w = (θ, −1),
//!   λ = wᵀSw / wᵀCw  (C = Σ C_t),  A = S₁₁ − λ·C₁₁,  B = Σ_t (wᵀC_t w / n_t)·H_t,
//!   covariance = A⁻¹·(λ·B + I/100)·A⁻¹,
//! the sandwich covariance of the bias-corrected TLS equations with the residual variance of
//! each row type taken at the current w. λ is the generalised Rayleigh quotient of w (about 1
//! when the configured variances are right). Whenever that is undefined (no error variance
//! seen, λ not a finite positive number, A not positive definite, a non-finite or
//! non-positive variance) the result is the undefined covariance 1e10·I₁₆, large enough that
//! no convergence threshold can pass.
//!
//! Every row type's error covariance is zero in the force and torque bias rows and columns
//! (10..15), and the two index groups 0..9 and 16 do not couple; the update of the sums relies
//! only on symmetry, so any symmetric Q is accepted.
//!
//! Not thread-safe; owned and driven by one estimator.
class TlsCovarianceEstimator {
 public:
  //! 10¹⁰, the diagonal of the undefined covariance.
  static constexpr double kUndefinedVariance = 1e10;
  //! Regularisation that the initial inverse correlation 100·I puts into the information.
  static constexpr double kRegularisation = 1.0 / 100.0;

  //! Every sum at its start. A forgetting factor ≤ 0.999999 sets the forgetting flag, which
  //! changes nothing here: the sums are plain sums whatever the factor.
  explicit TlsCovarianceEstimator(double forgettingFactor = 1.0);

  //! Starts afresh, as a new object. numParameters must be 16 (std::invalid_argument
  //! otherwise).
  void init(int numParameters, double forgettingFactor);

  bool useForgetting() const { return useForgetting_; }
  double getForgettingFactor() const { return forgettingFactor_; }
  int getUpdateCount() const { return updateCount_; }

  //! Accumulates one row. theta: the parameter vector after the row's update (kept as the
  //! point where getCovariance() evaluates w); inverseCorrelation: the estimator's P, not
  //! used (part of the row interface); row: r; rowErrorCovariance: Q (symmetric);
  //! rowType: 0..5, std::out_of_range otherwise (nothing is changed then).
  void addRow(const ParameterVector& theta, const AugmentedMatrix& inverseCorrelation,
              const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance, int rowType);

  //! Same as addRow for an error covariance with the error model's structure: zero outside
  //! rows/columns 0..9 and 16, and no coupling between 0..9 and 16. Only those two blocks of
  //! rowErrorCovariance are read.
  void addStructuredRow(const ParameterVector& theta, const AugmentedVector& row,
                        const AugmentedMatrix& rowErrorCovariance, int rowType);

  //! A covariance of θ and whether it is a real one rather than the undefined covariance.
  struct Evaluation {
    ParameterMatrix covariance;
    bool defined = false;
  };

  //! Covariance of θ (16 × 16) at the newest θ, or the undefined covariance when it cannot be
  //! evaluated (see the class comment). Never throws. Costs one 16 × 16 Cholesky
  //! factorisation and a few 16 × 16 triangular solves.
  Evaluation evaluate() const;
  //! evaluate().covariance.
  ParameterMatrix getCovariance() const { return evaluate().covariance; }

  //! λ = wᵀSw / wᵀCw at the newest θ; NaN when wᵀCw is 0.
  double getRayleighQuotient() const;

  //! Undefined covariance: 1e10·I₁₆.
  static ParameterMatrix undefinedCovariance();

  // Read access to the sums (diagnostics and tests).
  const AugmentedMatrix& getInformationSum() const { return informationSum_; }
  int getRowTypeCount(int rowType) const;
  const AugmentedMatrix& getRowTypeErrorCovariance(int rowType) const;
  const ParameterMatrix& getRowTypeRegressorProduct(int rowType) const;
  const ParameterVector& getLastParameters() const { return lastParameters_; }

 private:
  static std::size_t checkedRowType(int rowType);
  void addInformation(const ParameterVector& theta, const AugmentedVector& row, std::size_t t);

  int updateCount_ = 0;  //!< rows received since init
  double forgettingFactor_ = 1.0;
  bool useForgetting_ = false;
  AugmentedMatrix informationSum_;                          //!< S
  std::array<int, 6> rowTypeCount_{};                       //!< n_t
  std::array<AugmentedMatrix, 6> rowTypeErrorCovariance_;   //!< C_t
  std::array<ParameterMatrix, 6> rowTypeRegressorProduct_;  //!< H_t
  ParameterVector lastParameters_;                          //!< θ_L
  //! True while every C_t is zero outside the blocks 0..9 and 16 (only structured rows seen).
  bool structuredErrors_ = true;
};

}  // namespace zelto
