#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "RecursiveTLSOracle.h"
#include "TestUtils.h"
#include "TlsCovarianceEstimator.h"

namespace zelto {
namespace {

const ParameterMatrix kUndefined = ParameterMatrix::Identity() * 1e10;

// Largest |a − b| relative to the scale of a covariance: entry (i, j) is measured against
// √(b_ii·b_jj), so small and large variances are held to the same relative accuracy.
double covarianceDifference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  double worst = 0.0;
  for (int i = 0; i < b.rows(); ++i) {
    for (int j = 0; j < b.cols(); ++j) {
      worst = std::max(worst, std::abs(a(i, j) - b(i, j)) / std::sqrt(b(i, i) * b(j, j)));
    }
  }
  return worst;
}

TEST(TlsCovarianceEstimator, StateAfterInit) {
  TlsCovarianceEstimator estimator;
  estimator.init(16, 1.0);
  EXPECT_FALSE(estimator.useForgetting());
  EXPECT_EQ(estimator.getForgettingFactor(), 1.0);
  EXPECT_EQ(estimator.getUpdateCount(), 0);
  EXPECT_EIGEN_NEAR(estimator.getInformationSum(), AugmentedMatrix::Identity() * 0.01, 0.0);
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(estimator.getRowTypeCount(t), 0);
    EXPECT_EIGEN_NEAR(estimator.getRowTypeErrorCovariance(t), AugmentedMatrix::Zero(), 0.0);
    EXPECT_EIGEN_NEAR(estimator.getRowTypeRegressorProduct(t), ParameterMatrix::Zero(), 0.0);
  }
  EXPECT_EIGEN_NEAR(estimator.getLastParameters(), ParameterVector::Zero(), 0.0);
  // No error variance seen yet (wᵀ·C·w = 0): the covariance is undefined.
  EXPECT_EIGEN_NEAR(estimator.getCovariance(), kUndefined, 0.0);
  EXPECT_TRUE(std::isnan(estimator.getRayleighQuotient()));
}

TEST(TlsCovarianceEstimator, ForgettingFlagAndSize) {
  TlsCovarianceEstimator estimator;
  estimator.init(16, 0.999999);
  EXPECT_TRUE(estimator.useForgetting());
  estimator.init(16, 0.9999991);
  EXPECT_FALSE(estimator.useForgetting());
  EXPECT_EQ(estimator.getForgettingFactor(), 0.9999991);
  EXPECT_THROW(estimator.init(15, 1.0), std::invalid_argument);
  EXPECT_THROW(estimator.init(17, 1.0), std::invalid_argument);
}

TEST(TlsCovarianceEstimator, AddRowAccumulatesTheSums) {
  TlsCovarianceEstimator estimator;
  estimator.init(16, 1.0);
  AugmentedVector r1 = AugmentedVector::Zero();
  r1(0) = 2.0;
  r1(3) = -1.0;
  r1(16) = 3.0;
  AugmentedVector r2 = AugmentedVector::Zero();
  r2(3) = 4.0;
  r2(16) = 0.5;
  AugmentedMatrix q1 = AugmentedMatrix::Zero();
  q1(0, 0) = 0.1;
  q1(16, 16) = 0.2;
  AugmentedMatrix q2 = AugmentedMatrix::Zero();
  q2(3, 3) = 0.3;
  ParameterVector theta1 = ParameterVector::Constant(1.0);
  ParameterVector theta2 = ParameterVector::LinSpaced(0.0, 15.0);
  const AugmentedMatrix unusedP = AugmentedMatrix::Identity();

  estimator.addRow(theta1, unusedP, r1, q1, 2);
  estimator.addRow(theta2, unusedP, r2, q2, 2);
  estimator.addRow(theta1, unusedP, r2, q1, 5);

  EXPECT_EQ(estimator.getUpdateCount(), 3);
  // S = I/100 + Σ r·rᵀ, written out.
  AugmentedMatrix s = AugmentedMatrix::Identity() * 0.01;
  s(0, 0) += 4.0;
  s(0, 3) += -2.0;
  s(3, 0) += -2.0;
  s(0, 16) += 6.0;
  s(16, 0) += 6.0;
  s(3, 3) += 1.0 + 16.0 + 16.0;
  s(3, 16) += -3.0 + 2.0 + 2.0;
  s(16, 3) += -3.0 + 2.0 + 2.0;
  s(16, 16) += 9.0 + 0.25 + 0.25;
  EXPECT_EIGEN_NEAR(estimator.getInformationSum(), s, 1e-13);
  EXPECT_EQ(estimator.getRowTypeCount(2), 2);
  EXPECT_EQ(estimator.getRowTypeCount(5), 1);
  EXPECT_EQ(estimator.getRowTypeCount(0), 0);
  EXPECT_EIGEN_NEAR(estimator.getRowTypeErrorCovariance(2), q1 + q2, 0.0);
  EXPECT_EIGEN_NEAR(estimator.getRowTypeErrorCovariance(5), q1, 0.0);
  ParameterMatrix h2 = ParameterMatrix::Zero();
  h2(0, 0) = 4.0;
  h2(0, 3) = -2.0;
  h2(3, 0) = -2.0;
  h2(3, 3) = 1.0 + 16.0;
  EXPECT_EIGEN_NEAR(estimator.getRowTypeRegressorProduct(2), h2, 0.0);
  ParameterMatrix h5 = ParameterMatrix::Zero();
  h5(3, 3) = 16.0;
  EXPECT_EIGEN_NEAR(estimator.getRowTypeRegressorProduct(5), h5, 0.0);
  EXPECT_EIGEN_NEAR(estimator.getLastParameters(), theta1, 0.0);

  // A row type outside 0..5 is refused and changes nothing.
  EXPECT_THROW(estimator.addRow(theta2, unusedP, r1, q1, 6), std::out_of_range);
  EXPECT_THROW(estimator.addRow(theta2, unusedP, r1, q1, -1), std::out_of_range);
  EXPECT_EQ(estimator.getUpdateCount(), 3);
  EXPECT_EIGEN_NEAR(estimator.getInformationSum(), s, 1e-13);
  EXPECT_EIGEN_NEAR(estimator.getLastParameters(), theta1, 0.0);
  EXPECT_THROW(estimator.getRowTypeCount(6), std::out_of_range);

  // init starts over.
  estimator.init(16, 1.0);
  EXPECT_EQ(estimator.getUpdateCount(), 0);
  EXPECT_EQ(estimator.getRowTypeCount(2), 0);
  EXPECT_EIGEN_NEAR(estimator.getInformationSum(), AugmentedMatrix::Identity() * 0.01, 0.0);
}

TEST(TlsCovarianceEstimator, StructuredRowReadsOnlyTheTwoBlocks) {
  // Q with the error model's structure (blocks 0..9 and 16) plus junk elsewhere: the
  // structured hand-over must give what the general one gives for the clean Q.
  const std::uint32_t seed = 31;
  std::printf("TlsCovarianceEstimator structured-row seed %u\n", seed);
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  TlsCovarianceEstimator general;
  TlsCovarianceEstimator structured;
  for (int n = 0; n < 12; ++n) {
    AugmentedVector r;
    for (int k = 0; k < 17; ++k) {
      r(k) = value(engine);
    }
    Eigen::Matrix<double, 10, 10> g;
    for (int i = 0; i < 10; ++i) {
      for (int j = 0; j < 10; ++j) {
        g(i, j) = value(engine);
      }
    }
    AugmentedMatrix clean = AugmentedMatrix::Zero();
    clean.topLeftCorner<10, 10>() = g * g.transpose();
    clean(16, 16) = 0.5 + value(engine);
    AugmentedMatrix junk = clean;
    junk.middleRows<6>(10).setConstant(99.0);
    junk.middleCols<6>(10).setConstant(-99.0);
    junk.block<10, 1>(0, 16).setConstant(7.0);
    junk.block<1, 10>(16, 0).setConstant(7.0);
    const ParameterVector theta = ParameterVector::Constant(0.1 * n);
    general.addRow(theta, AugmentedMatrix::Identity(), r, clean, n % 6);
    structured.addStructuredRow(theta, r, junk, n % 6);
  }
  EXPECT_EQ(structured.getUpdateCount(), 12);
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(structured.getRowTypeCount(t), 2);
    EXPECT_EIGEN_NEAR(structured.getRowTypeErrorCovariance(t), general.getRowTypeErrorCovariance(t),
                      0.0);
    EXPECT_EIGEN_NEAR(structured.getRowTypeRegressorProduct(t),
                      general.getRowTypeRegressorProduct(t), 0.0);
  }
  EXPECT_EIGEN_NEAR(structured.getInformationSum(), general.getInformationSum(), 0.0);
  EXPECT_EIGEN_NEAR(structured.getLastParameters(), general.getLastParameters(), 0.0);
  EXPECT_THROW(structured.addStructuredRow(ParameterVector::Zero(), AugmentedVector::Zero(),
                                           AugmentedMatrix::Zero(), 6),
               std::out_of_range);
}

TEST(TlsCovarianceEstimator, DiagonalCaseWorkedByHand) {
  // θ = 0, so w = (0, …, 0, −1). Sixteen rows of type 0, r_k = √s_k·e_k + y·e_16, each with
  // Q = diag(q_0, …, q_15, q_16). Then wᵀ·S·w = 1/100 + 16·y², wᵀ·C·w = 16·q_16,
  // λ = (1/100 + 16·y²)/(16·q_16), A = diag(1/100 + s_k − 16·λ·q_k), the type's squared
  // residuals 16·y² over 16 rows give B = y²·diag(s_k), and V = diag((y²·s_k + 1/100) / A_kk²).
  TlsCovarianceEstimator estimator;
  estimator.init(16, 1.0);
  AugmentedMatrix q = AugmentedMatrix::Zero();
  for (int k = 0; k < 16; ++k) {
    q(k, k) = 0.001 * (k + 1);
  }
  q(16, 16) = 0.5;
  const double y = 0.3;
  for (int k = 0; k < 16; ++k) {
    AugmentedVector r = AugmentedVector::Zero();
    r(k) = std::sqrt(k + 1.0);
    r(16) = y;
    estimator.addRow(ParameterVector::Zero(), AugmentedMatrix::Identity(), r, q, 0);
  }
  const double lambda = (0.01 + 16.0 * y * y) / (16.0 * 0.5);
  EXPECT_NEAR(estimator.getRayleighQuotient(), lambda, 1e-15);
  ParameterMatrix expected = ParameterMatrix::Zero();
  for (int k = 0; k < 16; ++k) {
    const double s = k + 1.0;
    const double a = 0.01 + s - 16.0 * lambda * 0.001 * (k + 1);
    expected(k, k) = (y * y * s + 0.01) / (a * a);
  }
  const ParameterMatrix v = estimator.getCovariance();
  EXPECT_LT(covarianceDifference(v, expected), 1e-14);
  EXPECT_EIGEN_NEAR(v, expected, 1e-15);
}

TEST(TlsCovarianceEstimator, UndefinedCases) {
  AugmentedVector r = AugmentedVector::Zero();
  r(0) = 1.0;
  r(16) = 2.0;
  // All error covariances zero: wᵀ·C·w = 0.
  {
    TlsCovarianceEstimator estimator;
    estimator.init(16, 1.0);
    estimator.addRow(ParameterVector::Zero(), AugmentedMatrix::Identity(), r,
                     AugmentedMatrix::Zero(), 0);
    EXPECT_EIGEN_NEAR(estimator.getCovariance(), kUndefined, 0.0);
  }
  // λ·C larger than the information: A is not positive definite.
  {
    TlsCovarianceEstimator estimator;
    estimator.init(16, 1.0);
    AugmentedMatrix q = AugmentedMatrix::Identity() * 1e-3;
    q(0, 0) = 50.0;
    estimator.addRow(ParameterVector::Zero(), AugmentedMatrix::Identity(), r, q, 0);
    // λ = (4 + 1/100) / 1e-3 ≈ 4010 and A(0,0) = 1.01 − λ·50 < 0.
    EXPECT_EIGEN_NEAR(estimator.getCovariance(), kUndefined, 0.0);
  }
  // A NaN in the latest θ makes λ NaN.
  {
    TlsCovarianceEstimator estimator;
    estimator.init(16, 1.0);
    ParameterVector theta = ParameterVector::Zero();
    theta(4) = std::numeric_limits<double>::quiet_NaN();
    estimator.addRow(theta, AugmentedMatrix::Identity(), r, AugmentedMatrix::Identity(), 0);
    EXPECT_EIGEN_NEAR(estimator.getCovariance(), kUndefined, 0.0);
  }
  // A defined case for contrast: a row that θ = 0 fits exactly, with little error variance in
  // the regressor; the covariance is symmetric with a positive diagonal.
  {
    TlsCovarianceEstimator estimator;
    estimator.init(16, 1.0);
    AugmentedVector fitted = r;
    fitted(16) = 0.0;
    AugmentedMatrix q = AugmentedMatrix::Identity() * 1e-6;
    q(16, 16) = 1.0;
    estimator.addRow(ParameterVector::Zero(), AugmentedMatrix::Identity(), fitted, q, 0);
    const ParameterMatrix v = estimator.getCovariance();
    EXPECT_LT(v.maxCoeff(), 1e9);
    EXPECT_GT(v.diagonal().minCoeff(), 0.0);
    EXPECT_EIGEN_NEAR(v, v.transpose(), 0.0);
  }
}

// Rows and error covariances like the estimator produces, but random: rows from a random
// θ with small residuals, and positive semi-definite Q.
struct RandomRows {
  std::vector<AugmentedVector> rows;
  std::vector<AugmentedMatrix> covariances;
  std::vector<int> types;
  ParameterVector theta;
};

RandomRows randomRows(std::uint32_t seed, int count) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  RandomRows out;
  for (int k = 0; k < 16; ++k) {
    out.theta(k) = normal(engine);
  }
  for (int n = 0; n < count; ++n) {
    AugmentedVector r;
    for (int k = 0; k < 16; ++k) {
      r(k) = normal(engine);
    }
    // r·(θ, −1) = small residual.
    r(16) = r.head<16>().dot(out.theta) + 0.05 * normal(engine);
    Eigen::Matrix<double, 17, 4> g;
    for (int i = 0; i < 17; ++i) {
      for (int j = 0; j < 4; ++j) {
        g(i, j) = 0.02 * normal(engine);
      }
    }
    out.rows.push_back(r);
    out.covariances.push_back(g * g.transpose());
    out.types.push_back(n % 6);
  }
  return out;
}

TEST(TlsCovarianceEstimator, AgreesWithTheReferenceImplementation) {
  const std::uint32_t seed = 4242;
  std::printf("TlsCovarianceEstimator reference seed %u\n", seed);
  RandomRows data = randomRows(seed, 1200);
  // A slow drift on the measured wrench: residuals correlated over many samples, which the
  // batch means must see.
  for (std::size_t n = 0; n < data.rows.size(); ++n) data.rows[n](16) += 0.3 * std::sin(0.01 * n);
  TlsCovarianceEstimator estimator;
  estimator.init(16, 1.0);
  test::RecursiveTLSOracle reference;
  reference.init(Eigen::VectorXd::Zero(16), Eigen::VectorXd::Ones(15));
  int compared = 0;
  for (std::size_t n = 0; n < data.rows.size(); ++n) {
    // θ moves a little from row to row, as the estimate does; six rows make a sample of 50 ms,
    // so the batch means close 40 blocks of 0.25 s.
    const ParameterVector theta = data.theta * (1.0 + 1e-3 / (1.0 + n));
    if (n % 6 == 0) {
      estimator.startSample(0.05 * static_cast<double>(n / 6));
      reference.startSample(0.05 * static_cast<double>(n / 6));
    }
    estimator.addRow(theta, AugmentedMatrix::Identity(), data.rows[n], data.covariances[n],
                     data.types[n]);
    reference.addRow(theta, data.rows[n], data.covariances[n], data.types[n]);
    if (n % 197 == 0 || n + 1 == data.rows.size()) {
      const ParameterMatrix v = estimator.getCovariance();
      const Eigen::MatrixXd expected = reference.trackerCovariance();
      if (expected(0, 0) >= 1e10) {
        EXPECT_EIGEN_NEAR(v, kUndefined, 0.0) << "after row " << n;
        continue;
      }
      ++compared;
      EXPECT_LT(covarianceDifference(v, expected), 1e-10) << "after row " << n;
      // Sums of per-type quadratic forms: a few more roundings than one quadratic form.
      EXPECT_NEAR(estimator.getRayleighQuotient(), reference.rayleighQuotient(),
                  1e-11 * reference.rayleighQuotient());
    }
  }
  EXPECT_GE(compared, 6);
  const std::array<double, 6> inflation = estimator.getRowTypeInflation();
  EXPECT_GT(*std::max_element(inflation.begin(), inflation.end()), 1.0);  // the means counted
}

TEST(TlsCovarianceEstimator, ScalingAllErrorCovariancesChangesNothing) {
  const RandomRows data = randomRows(99, 300);
  for (const double c : {1e-3, 7.3, 1e4}) {
    TlsCovarianceEstimator plain;
    TlsCovarianceEstimator scaled;
    for (std::size_t n = 0; n < data.rows.size(); ++n) {
      plain.addRow(data.theta, AugmentedMatrix::Identity(), data.rows[n], data.covariances[n],
                   data.types[n]);
      scaled.addRow(data.theta, AugmentedMatrix::Identity(), data.rows[n], c * data.covariances[n],
                    data.types[n]);
    }
    EXPECT_NEAR(scaled.getRayleighQuotient() * c, plain.getRayleighQuotient(),
                1e-12 * plain.getRayleighQuotient());
    EXPECT_LT(covarianceDifference(scaled.getCovariance(), plain.getCovariance()), 1e-12)
        << "c = " << c;
  }
}

}  // namespace
}  // namespace zelto
