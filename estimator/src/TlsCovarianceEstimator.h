#pragma once

#include <array>

#include "TlsTypes.h"

namespace zelto {

//! Tracks the covariance of the recursive TLS estimate θ.
//!
//! It accumulates, from every row r the estimator consumes (h = r[0..15], Q the row's error
//! covariance, t its row type 0..5 = force x, y, z, torque x, y, z):
//!   S_t = Σ r·rᵀ over type t (17 × 17),  S = I/100 + Σ_t S_t (the regularised information),
//!   n_t = rows of type t,  C_t = Σ Q over type t,  H_t = S_t's first 16 rows and columns,
//!   M_t = Σ over blocks of 0.25 s of sample time of b·bᵀ, b the sum of the block's rows,
//! and the newest θ. getCovariance() evaluates, at w = (θ, −1),
//!   λ = wᵀSw / wᵀCw  (C = Σ C_t),  A = S₁₁ − λ·C₁₁,
//!   r_t = wᵀS_t w (the squared residuals of type t),  B = Σ_t f_t·(r_t / n_t)·H_t,
//!   covariance = A⁻¹·(B + I/100)·A⁻¹,
//! the sandwich covariance of the bias-corrected TLS equations with the residual variance of
//! each row type measured at the current w (so a channel whose variance is configured wrongly
//! by any factor still gets its own), inflated by f_t for residuals that are not independent
//! from sample to sample. f_t is measured by batch means whenever a block closes: the block
//! sums of the residuals b_B·w are regressed on the block sums of the regressors s_B (an error
//! δθ of the estimate adds s_Bᵀ·δθ to each, its share of every sample adding up), and
//!   ρ_t = [wᵀM_t w − cᵀ·M_t₁₁⁺·c] / (K − p) / (r_t' / K),  c = Σ_B s_B·(b_B·w),
//! K closed blocks, p the rank of M_t₁₁ and r_t' the squared residuals of the closed blocks:
//! about 1 for white residuals, about the correlation time in samples for coloured ones (the
//! variance of a mean of correlated samples), and larger for a misfit of the model that no
//! parameter explains. f_t = max(1, ρ_t − √(2 / (K − p))) once K − p ≥ 8: what lies within
//! the ratio's own scatter for white residuals does not count.
//! λ is the generalised Rayleigh quotient of w (about 1 when the configured
//! variances are right). Whenever that is undefined (no error variance seen, λ not a finite
//! positive number, A not positive definite, a non-finite or non-positive variance) the result
//! is the undefined covariance 1e10·I₁₆, large enough that no convergence threshold can pass.
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

  //! Sample time between two block boundaries of the batch means, s.
  static constexpr double kBlockSeconds = 0.25;
  //! Degrees of freedom the batch means need before they count.
  static constexpr double kMinFreedom = 8.0;
  //! Eigenvalues of M_t₁₁ below this share of the largest count as directions not spanned.
  static constexpr double kRankTolerance = 1e-10;

  //! Marks the start of a sample of the given time: a block of the batch means closes once it
  //! spans kBlockSeconds. Rows added without any sample mark all fall into one open block.
  void startSample(double time);

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
  //! λ_t = wᵀS_t w / wᵀC_t w per row type at the newest θ: the scale of each row type's
  //! residuals against its configured noise; NaN for a type without error variance.
  std::array<double, kRowsPerSample> getRowTypeScales() const;
  //! f_t, the batch-means inflation of each row type's residual variance as the last closed
  //! block left it (1 before there are enough blocks).
  const std::array<double, kRowsPerSample>& getRowTypeInflation() const { return inflation_; }
  //! κ_t, how much larger each row type's wrench noise is than configured, as the last closed
  //! block left it: (r_t − w₁ᵀ·C_t₁₁·w₁) / C_t(16, 16), what the squared residuals leave once
  //! the configured regressor noise is taken away, over the configured wrench noise; 1 before
  //! the first block closes. Where that would fall below kMinWrenchScale the residuals are
  //! smaller than the configured regressor noise alone makes them: that is too large, and
  //! μ_t = r_t / (w₁ᵀ·C_t₁₁·w₁ + kMinWrenchScale·C_t(16, 16)) < 1 scales the whole row's noise
  //! (κ_t = kMinWrenchScale·μ_t). Either way μ_t·w₁ᵀ·C_t₁₁·w₁ + κ_t·C_t(16, 16) = r_t.
  const std::array<double, kRowsPerSample>& getWrenchNoiseScales() const { return wrenchScale_; }
  //! μ_t (see above), 1 unless the configured regressor noise is too large for the residuals.
  const std::array<double, kRowsPerSample>& getRegressorNoiseScales() const {
    return regressorScale_;
  }
  //! Least κ_t: a wrench configured a thousand times too noisy is still taken as configured.
  static constexpr double kMinWrenchScale = 1e-3;

  //! Undefined covariance: 1e10·I₁₆.
  static ParameterMatrix undefinedCovariance();

  // Read access to the sums (diagnostics and tests).
  AugmentedMatrix getInformationSum() const;
  int getRowTypeCount(int rowType) const;
  const AugmentedMatrix& getRowTypeErrorCovariance(int rowType) const;
  ParameterMatrix getRowTypeRegressorProduct(int rowType) const;
  const ParameterVector& getLastParameters() const { return lastParameters_; }

 private:
  static std::size_t checkedRowType(int rowType);
  void addInformation(const ParameterVector& theta, const AugmentedVector& row, std::size_t t);
  Evaluation evaluate(const std::array<double, kRowsPerSample>& inflation) const;
  //! f_t at the newest θ, from the closed blocks.
  void measureInflation();
  //! κ_t at the newest θ.
  void measureWrenchScales();
  //! μ_t·w₁ᵀ·C_t₁₁·w₁ + κ_t·C_t(16, 16): the residual variance of type t the pencil expects.
  double expectedSquares(std::size_t t, const AugmentedVector& w) const;

  int updateCount_ = 0;  //!< rows received since init
  double forgettingFactor_ = 1.0;
  bool useForgetting_ = false;
  std::array<AugmentedMatrix, 6> rowTypeInformation_;      //!< S_t
  std::array<int, 6> rowTypeCount_{};                      //!< n_t
  std::array<AugmentedMatrix, 6> rowTypeErrorCovariance_;  //!< C_t
  ParameterVector lastParameters_;                         //!< θ_L
  // Batch means: the open block's row sums, M_t, S_t as it stood when the last block closed.
  std::array<AugmentedVector, 6> blockSum_;
  std::array<AugmentedMatrix, 6> blockSquares_;
  std::array<AugmentedMatrix, 6> closedInformation_;
  int closedBlocks_ = 0;
  std::array<double, kRowsPerSample> inflation_{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  std::array<double, kRowsPerSample> wrenchScale_{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  std::array<double, kRowsPerSample> regressorScale_{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  bool blockOpen_ = false;
  double blockStart_ = 0.0;
  //! True while every C_t is zero outside the blocks 0..9 and 16 (only structured rows seen).
  bool structuredErrors_ = true;
};

}  // namespace zelto
