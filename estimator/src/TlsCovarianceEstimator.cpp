#include "TlsCovarianceEstimator.h"

#include <Eigen/Cholesky>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace zelto {
namespace {

// A forgetting factor at or below this counts as "forgetting on".
constexpr double kForgettingThreshold = 0.999999;

// The error model's row covariances live in rows/columns 0..9 and 16 only.
constexpr int kStructuredBlock = 10;
constexpr int kLast = kAugmentedSize - 1;

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
      informationSum_(AugmentedMatrix::Identity() * kRegularisation),
      lastParameters_(ParameterVector::Zero()) {
  for (AugmentedMatrix& c : rowTypeErrorCovariance_) {
    c.setZero();
  }
  for (ParameterMatrix& h : rowTypeRegressorProduct_) {
    h.setZero();
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

const ParameterMatrix& TlsCovarianceEstimator::getRowTypeRegressorProduct(int rowType) const {
  return rowTypeRegressorProduct_[checkedRowType(rowType)];
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
  informationSum_.noalias() += row * row.transpose();
  ++rowTypeCount_[t];
  rowTypeRegressorProduct_[t].noalias() +=
      row.head<kNumParameters>() * row.head<kNumParameters>().transpose();
  lastParameters_ = theta;
}

ParameterMatrix TlsCovarianceEstimator::undefinedCovariance() {
  return ParameterMatrix::Identity() * kUndefinedVariance;
}

double TlsCovarianceEstimator::getRayleighQuotient() const {
  const AugmentedVector w = augmented(lastParameters_);
  double d = 0.0;
  for (const AugmentedMatrix& c : rowTypeErrorCovariance_) {
    d += w.dot(c * w);
  }
  if (d == 0.0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return w.dot(informationSum_ * w) / d;
}

TlsCovarianceEstimator::Evaluation TlsCovarianceEstimator::evaluate() const {
  const AugmentedVector w = augmented(lastParameters_);

  // Residual variance of each row type at the current w. The row error covariances of one
  // type differ only through ω, so their mean stands for every row of the type.
  std::array<double, kRowsPerSample> typeVariance{};
  ParameterMatrix errorSum = ParameterMatrix::Zero();  // C₁₁
  double d = 0.0;                                      // wᵀ·C·w
  for (std::size_t t = 0; t < rowTypeErrorCovariance_.size(); ++t) {
    const AugmentedMatrix& c = rowTypeErrorCovariance_[t];
    if (structuredErrors_) {
      // Only the blocks 0..9 and 16 can be non-zero.
      const auto head = w.head<kStructuredBlock>();
      typeVariance[t] =
          head.dot(c.topLeftCorner<kStructuredBlock, kStructuredBlock>() * head) + c(kLast, kLast);
      errorSum.topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
          c.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    } else {
      typeVariance[t] = w.dot(c * w);
      errorSum += c.topLeftCorner<kNumParameters, kNumParameters>();
    }
    d += typeVariance[t];
  }
  // Generalised Rayleigh quotient of w for the pencil (S, C): it absorbs a common scale error
  // of the configured variances.
  const double lambda = w.dot(informationSum_ * w) / d;
  if (d == 0.0 || !std::isfinite(lambda) || !(lambda > 0.0)) {
    return {undefinedCovariance(), false};
  }

  // Bias-corrected information of the TLS equations: the expected contribution of the
  // measurement errors, λ·C, is removed from the information of the noisy rows.
  const ParameterMatrix a =
      informationSum_.topLeftCorner<kNumParameters, kNumParameters>() - lambda * errorSum;
  const Eigen::LLT<ParameterMatrix> llt(a);
  if (llt.info() != Eigen::Success) {
    return {undefinedCovariance(), false};
  }

  // Variance of the TLS score, λ·B, plus the regularisation I/100 that S starts with.
  ParameterMatrix x = ParameterMatrix::Identity() * kRegularisation;
  for (std::size_t t = 0; t < rowTypeErrorCovariance_.size(); ++t) {
    if (rowTypeCount_[t] > 0) {
      x += (lambda * typeVariance[t] / rowTypeCount_[t]) * rowTypeRegressorProduct_[t];
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
