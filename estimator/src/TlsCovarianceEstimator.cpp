#include "TlsCovarianceEstimator.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace zelto {
namespace {

// A forgetting factor at or below this counts as "forgetting on".
constexpr double kForgettingThreshold = 0.999999;

using RowMajorMatrix = Eigen::Matrix<double, kNumParameters, kNumParameters, Eigen::RowMajor>;
using RowVector = Eigen::Matrix<double, 1, kNumParameters>;

// Solves L·Z = B for Z in place of B, L being the lower triangle of factor. Substitution row
// by row; the rows of a row-major matrix are contiguous, so each step is one vector update.
void solveLower(const ParameterMatrix& factor, RowMajorMatrix& b) {
  for (int k = 0; k < kNumParameters; ++k) {
    RowVector row = b.row(k);
    for (int j = 0; j < k; ++j) {
      row -= factor(k, j) * b.row(j);
    }
    b.row(k) = row / factor(k, k);
  }
}

// Solves Lᵀ·Z = B for Z in place of B (back substitution).
void solveUpper(const ParameterMatrix& factor, RowMajorMatrix& b) {
  for (int k = kNumParameters - 1; k >= 0; --k) {
    RowVector row = b.row(k);
    for (int j = k + 1; j < kNumParameters; ++j) {
      row -= factor(j, k) * b.row(j);
    }
    b.row(k) = row / factor(k, k);
  }
}

AugmentedVector augmented(const ParameterVector& theta) {
  AugmentedVector w;
  w.head<kNumParameters>() = theta;
  w(kNumParameters) = -1.0;
  return w;
}

}  // namespace

TlsCovarianceEstimator::TlsCovarianceEstimator(double forgettingFactor)
    : forgettingFactor_(forgettingFactor),
      useForgetting_(forgettingFactor <= kForgettingThreshold),
      lastParameters_(ParameterVector::Zero()) {
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    rowTypeInformation_[t].setZero();
    rowTypeErrorCovariance_[t].setZero();
    blockSum_[t].setZero();
    blockSquares_[t].setZero();
    closedInformation_[t].setZero();
  }
}

void TlsCovarianceEstimator::startSample(double time) {
  if (!blockOpen_) {
    blockOpen_ = true;
    blockStart_ = time;
    return;
  }
  if (time - blockStart_ < kBlockSeconds) {
    return;
  }
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    blockSquares_[t].noalias() += blockSum_[t] * blockSum_[t].transpose();
    blockSum_[t].setZero();
    closedInformation_[t] = rowTypeInformation_[t];
  }
  ++closedBlocks_;
  blockStart_ = time;
  measureInflation();
  measureWrenchScales();
}

double TlsCovarianceEstimator::expectedSquares(std::size_t t, const AugmentedVector& w) const {
  const AugmentedMatrix& c = rowTypeErrorCovariance_[t];
  if (structuredErrors_) {
    const auto head = w.head<kStructuredBlock>();
    return regressorScale_[t] *
               head.dot(c.topLeftCorner<kStructuredBlock, kStructuredBlock>() * head) +
           wrenchScale_[t] * c(kLast, kLast);
  }
  return regressorScale_[t] * (w.dot(c * w) - c(kLast, kLast)) + wrenchScale_[t] * c(kLast, kLast);
}

void TlsCovarianceEstimator::measureWrenchScales() {
  const AugmentedVector w = augmented(lastParameters_);
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    const AugmentedMatrix& c = rowTypeErrorCovariance_[t];
    const double wrench = c(kLast, kLast);
    const double regressors = w.dot(c * w) - wrench;
    const double squares = w.dot(rowTypeInformation_[t] * w);
    wrenchScale_[t] = 1.0;
    regressorScale_[t] = 1.0;
    if (!(wrench > 0.0) || !std::isfinite(regressors) || !std::isfinite(squares)) continue;
    const double floor = regressors + kMinWrenchScale * wrench;
    if (squares >= floor) {
      wrenchScale_[t] = (squares - regressors) / wrench;
    } else {
      // The residuals are smaller than the configured regressor noise alone would make them:
      // that is configured too large, and only the share the residuals show counts.
      regressorScale_[t] = squares / floor;
      wrenchScale_[t] = kMinWrenchScale * regressorScale_[t];
    }
  }
}

void TlsCovarianceEstimator::measureInflation() {
  const AugmentedVector w = augmented(lastParameters_);
  const double k = closedBlocks_;
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    inflation_[t] = 1.0;
    const double squares = w.dot(closedInformation_[t] * w);
    if (!(squares > 0.0)) continue;
    // The block sums of the residuals, less their part along the block sums of the regressors:
    // an error δθ of the estimate adds (Σ h)ᵀ·δθ to each block sum, whatever its size, and
    // least squares over the blocks takes that away with as many degrees of freedom as the
    // regressors' block sums span.
    const AugmentedVector mw = blockSquares_[t] * w;
    const Eigen::SelfAdjointEigenSolver<ParameterMatrix> eigen(
        blockSquares_[t].topLeftCorner<kNumParameters, kNumParameters>());
    const ParameterVector projections =
        eigen.eigenvectors().transpose() * mw.head<kNumParameters>();
    const double largest = eigen.eigenvalues().maxCoeff();
    double explained = 0.0;
    int rank = 0;
    for (int i = 0; i < kNumParameters; ++i) {
      const double lambda = eigen.eigenvalues()(i);
      if (lambda > kRankTolerance * largest) {
        explained += projections(i) * projections(i) / lambda;
        ++rank;
      }
    }
    const double freedom = k - rank;
    if (freedom < kMinFreedom) continue;
    // White residuals give each remaining degree of freedom the mean squared block sum
    // squares / k; correlated ones more, by their correlation time. For white residuals the
    // ratio scatters about 1 with the standard deviation √(2 / (K − p)) of a χ² over its
    // degrees of freedom: only what lies beyond that scatter counts, so that white noise does
    // not widen σ by chance while a real correlation still does.
    const double ratio = (w.dot(mw) - explained) / freedom / (squares / k);
    inflation_[t] = std::max(1.0, ratio - std::sqrt(2.0 / freedom));
  }
}

void TlsCovarianceEstimator::init(int numParameters, double forgettingFactor) {
  if (numParameters != kNumParameters) {
    throw std::invalid_argument("TlsCovarianceEstimator supports 16 parameters, not " +
                                std::to_string(numParameters));
  }
  *this = TlsCovarianceEstimator(forgettingFactor);
}

std::size_t TlsCovarianceEstimator::checkedRowType(int rowType) {
  if (rowType < 0 || rowType >= kRowsPerSample) {
    throw std::out_of_range("TlsCovarianceEstimator: row type " + std::to_string(rowType) +
                            " outside 0..5");
  }
  return static_cast<std::size_t>(rowType);
}

int TlsCovarianceEstimator::getRowTypeCount(int rowType) const {
  return rowTypeCount_[checkedRowType(rowType)];
}

const AugmentedMatrix& TlsCovarianceEstimator::getRowTypeErrorCovariance(int rowType) const {
  return rowTypeErrorCovariance_[checkedRowType(rowType)];
}

ParameterMatrix TlsCovarianceEstimator::getRowTypeRegressorProduct(int rowType) const {
  return rowTypeInformation_[checkedRowType(rowType)]
      .topLeftCorner<kNumParameters, kNumParameters>();
}

AugmentedMatrix TlsCovarianceEstimator::getInformationSum() const {
  AugmentedMatrix s = AugmentedMatrix::Identity() * kRegularisation;
  for (const AugmentedMatrix& st : rowTypeInformation_) {
    s += st;
  }
  return s;
}

void TlsCovarianceEstimator::addRow(const ParameterVector& theta,
                                    const AugmentedMatrix& /*inverseCorrelation*/,
                                    const AugmentedVector& row,
                                    const AugmentedMatrix& rowErrorCovariance, int rowType) {
  const std::size_t t = checkedRowType(rowType);
  rowTypeErrorCovariance_[t] += rowErrorCovariance;
  structuredErrors_ = false;
  addInformation(theta, row, t);
}

void TlsCovarianceEstimator::addStructuredRow(const ParameterVector& theta,
                                              const AugmentedVector& row,
                                              const AugmentedMatrix& rowErrorCovariance,
                                              int rowType) {
  const std::size_t t = checkedRowType(rowType);
  rowTypeErrorCovariance_[t].topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
      rowErrorCovariance.topLeftCorner<kStructuredBlock, kStructuredBlock>();
  rowTypeErrorCovariance_[t](kLast, kLast) += rowErrorCovariance(kLast, kLast);
  addInformation(theta, row, t);
}

void TlsCovarianceEstimator::addInformation(const ParameterVector& theta,
                                            const AugmentedVector& row, std::size_t t) {
  ++updateCount_;
  rowTypeInformation_[t].noalias() += row * row.transpose();
  ++rowTypeCount_[t];
  blockSum_[t] += row;
  lastParameters_ = theta;
}

ParameterMatrix TlsCovarianceEstimator::undefinedCovariance() {
  return ParameterMatrix::Identity() * kUndefinedVariance;
}

double TlsCovarianceEstimator::getRayleighQuotient() const {
  const AugmentedVector w = augmented(lastParameters_);
  double d = 0.0;
  double r = kRegularisation * w.squaredNorm();
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    d += expectedSquares(t, w);
    r += w.dot(rowTypeInformation_[t] * w);
  }
  if (d == 0.0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return r / d;
}

std::array<double, kRowsPerSample> TlsCovarianceEstimator::getRowTypeScales() const {
  const AugmentedVector w = augmented(lastParameters_);
  std::array<double, kRowsPerSample> scales{};
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    const double d = w.dot(rowTypeErrorCovariance_[t] * w);
    scales[t] =
        d > 0.0 ? w.dot(rowTypeInformation_[t] * w) / d : std::numeric_limits<double>::quiet_NaN();
  }
  return scales;
}

TlsCovarianceEstimator::Evaluation TlsCovarianceEstimator::evaluate() const {
  return evaluate(inflation_);
}

TlsCovarianceEstimator::Evaluation TlsCovarianceEstimator::evaluate(
    const std::array<double, kRowsPerSample>& inflation) const {
  const AugmentedVector w = augmented(lastParameters_);

  // Predicted residual variance of each row type at the current w, and the squared residuals.
  std::array<double, kRowsPerSample> typeVariance{};
  std::array<double, kRowsPerSample> typeSquares{};
  ParameterMatrix errorSum = ParameterMatrix::Zero();                           // C₁₁
  ParameterMatrix information = ParameterMatrix::Identity() * kRegularisation;  // S₁₁
  double d = 0.0;                                                               // wᵀ·C·w
  double r = kRegularisation * w.squaredNorm();                                 // wᵀ·S·w
  for (std::size_t t = 0; t < rowTypeErrorCovariance_.size(); ++t) {
    const AugmentedMatrix& c = rowTypeErrorCovariance_[t];
    typeVariance[t] = expectedSquares(t, w);
    if (structuredErrors_) {
      // Only the blocks 0..9 and 16 can be non-zero.
      errorSum.topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
          regressorScale_[t] * c.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    } else {
      errorSum += regressorScale_[t] * c.topLeftCorner<kNumParameters, kNumParameters>();
    }
    d += typeVariance[t];
    typeSquares[t] = w.dot(rowTypeInformation_[t] * w);
    r += typeSquares[t];
    information += rowTypeInformation_[t].topLeftCorner<kNumParameters, kNumParameters>();
  }
  // Generalised Rayleigh quotient of w for the pencil (S, C): it absorbs a common scale error
  // of the configured variances.
  const double lambda = r / d;
  if (d == 0.0 || !std::isfinite(lambda) || !(lambda > 0.0)) {
    return {undefinedCovariance(), false};
  }

  // Bias-corrected information of the TLS equations: the expected contribution of the
  // measurement errors, λ·C, is removed from the information of the noisy rows.
  const ParameterMatrix a = information - lambda * errorSum;
  const Eigen::LLT<ParameterMatrix> llt(a);
  if (llt.info() != Eigen::Success) {
    return {undefinedCovariance(), false};
  }

  // Variance of the TLS score, B, plus the regularisation I/100 that S starts with. Each row
  // type's residual variance is its own mean squared residual, inflated for correlation.
  ParameterMatrix x = ParameterMatrix::Identity() * kRegularisation;
  for (std::size_t t = 0; t < rowTypeErrorCovariance_.size(); ++t) {
    if (rowTypeCount_[t] > 0) {
      x += (inflation[t] * typeSquares[t] / rowTypeCount_[t]) *
           rowTypeInformation_[t].topLeftCorner<kNumParameters, kNumParameters>();
    }
  }
  // X is exactly symmetric (sums of h·hᵀ), so its transpose is a plain copy into row-major
  // storage.
  RowMajorMatrix v = x.transpose();

  // V = A⁻¹·X·A⁻¹ with A = L·Lᵀ, as L⁻ᵀ·L⁻¹·X·L⁻ᵀ·L⁻¹: four triangular solves with 16
  // right-hand sides cost as much as two 16 × 16 products, and A⁻¹ is never formed.
  const ParameterMatrix& factor = llt.matrixLLT();  // L in the lower triangle
  solveLower(factor, v);                            // L⁻¹·X
  v.transposeInPlace();                             // X·L⁻ᵀ, X being symmetric
  solveLower(factor, v);                            // L⁻¹·X·L⁻ᵀ
  solveUpper(factor, v);                            // A⁻¹·X·L⁻ᵀ
  v.transposeInPlace();                             // L⁻¹·X·A⁻¹
  solveUpper(factor, v);                            // A⁻¹·X·A⁻¹
  const ParameterMatrix symmetric = 0.5 * (v + v.transpose());

  if (!symmetric.allFinite() || !(symmetric.diagonal().minCoeff() > 0.0)) {
    return {undefinedCovariance(), false};
  }
  return {symmetric, true};
}

}  // namespace zelto
