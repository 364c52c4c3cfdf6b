#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "ErrorModel.h"
#include "ObservationModel.h"
#include "TestUtils.h"

namespace zelto {
namespace {

// Measurement columns of a Jacobian: z = (a, ω, α, f, τ), each x, y, z.
constexpr int kAx = 0, kAy = 1, kAz = 2;
constexpr int kWx = 3, kWy = 4, kWz = 5;
constexpr int kAlx = 6, kAly = 7, kAlz = 8;
constexpr int kFx = 9, kFy = 10, kFz = 11;
constexpr int kTx = 12, kTy = 13, kTz = 14;

InertialSample sampleWithOmega(double x, double y, double z) {
  InertialSample s;
  s.angularVelocity = Eigen::Vector3d(x, y, z);
  return s;
}

// The 15 measurements of a sample in the order of z, and back.
MeasurementVector measurements(const InertialSample& s) {
  MeasurementVector z;
  z << s.linearAcceleration, s.angularVelocity, s.angularAcceleration, s.force, s.torque;
  return z;
}

InertialSample fromMeasurements(const MeasurementVector& z) {
  InertialSample s;
  s.linearAcceleration = z.segment<3>(0);
  s.angularVelocity = z.segment<3>(3);
  s.angularAcceleration = z.segment<3>(6);
  s.force = z.segment<3>(9);
  s.torque = z.segment<3>(12);
  return s;
}

int nonZeroCount(const RowJacobian& g) { return static_cast<int>((g.array() != 0.0).count()); }

TEST(ErrorModel, ConstantEntriesAfterConstruction) {
  const ErrorModelTLSWrenchBias model;

  RowJacobian g0 = RowJacobian::Zero();
  g0(0, kAx) = 1.0;
  g0(2, kAlz) = -1.0;
  g0(3, kAly) = 1.0;
  g0(16, kFx) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(0, InertialSample{}), g0, 0.0);

  RowJacobian g1 = RowJacobian::Zero();
  g1(0, kAy) = 1.0;
  g1(1, kAlz) = 1.0;
  g1(3, kAlx) = -1.0;
  g1(16, kFy) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(1, InertialSample{}), g1, 0.0);

  RowJacobian g2 = RowJacobian::Zero();
  g2(0, kAz) = 1.0;
  g2(1, kAly) = -1.0;
  g2(2, kAlx) = 1.0;
  g2(16, kFz) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(2, InertialSample{}), g2, 0.0);

  RowJacobian g3 = RowJacobian::Zero();
  g3(2, kAz) = 1.0;
  g3(3, kAy) = -1.0;
  g3(4, kAlx) = 1.0;
  g3(5, kAly) = 1.0;
  g3(6, kAlz) = 1.0;
  g3(16, kTx) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(3, InertialSample{}), g3, 0.0);

  RowJacobian g4 = RowJacobian::Zero();
  g4(1, kAz) = -1.0;
  g4(3, kAx) = 1.0;
  g4(5, kAlx) = 1.0;
  g4(7, kAly) = 1.0;
  g4(8, kAlz) = 1.0;
  g4(16, kTy) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(4, InertialSample{}), g4, 0.0);

  RowJacobian g5 = RowJacobian::Zero();
  g5(1, kAy) = 1.0;
  g5(2, kAx) = -1.0;
  g5(6, kAlx) = 1.0;
  g5(8, kAly) = 1.0;
  g5(9, kAlz) = 1.0;
  g5(16, kTz) = -1.0;
  EXPECT_EIGEN_NEAR(model.jacobian(5, InertialSample{}), g5, 0.0);
}

TEST(ErrorModel, AngularVelocityEntries) {
  const ErrorModelTLSWrenchBias model;
  const InertialSample moving = sampleWithOmega(1.0, 2.0, 3.0);

  const RowJacobian g0 = model.jacobian(0, moving);
  const Eigen::Matrix3d force0Omega = g0.block<3, 3>(1, kWx);
  Eigen::Matrix3d expected0;
  expected0 << 0, -4, -6,  //
      2, 1, 0,             //
      3, 0, 1;
  EXPECT_EIGEN_NEAR(force0Omega, expected0, 0.0);
  const Eigen::RowVector3d torque3Row8 = model.jacobian(3, moving).block<1, 3>(8, kWx);
  const Eigen::RowVector3d torque5Row5 = model.jacobian(5, moving).block<1, 3>(5, kWx);
  EXPECT_EIGEN_NEAR(torque3Row8, Eigen::RowVector3d(0, 4, -6), 0.0);
  EXPECT_EIGEN_NEAR(torque5Row5, Eigen::RowVector3d(2, -4, 0), 0.0);
  // The constant entries stay.
  EXPECT_EQ(g0(0, kAx), 1.0);
  EXPECT_EQ(g0(16, kFx), -1.0);
  // ω enters only the ω columns; the inertia rows of torque x and y have two exact zeros each.
  for (int i = 0; i < 6; ++i) {
    RowJacobian withoutOmega = model.jacobian(i, moving);
    withoutOmega.middleCols<3>(kWx).setZero();
    EXPECT_EIGEN_NEAR(withoutOmega, model.jacobian(i, InertialSample{}), 0.0) << "row " << i;
  }
  const Eigen::RowVector3d zeroRow3 = model.jacobian(3, moving).block<1, 3>(4, kWx);
  const Eigen::RowVector3d zeroRow4 = model.jacobian(4, moving).block<1, 3>(7, kWx);
  const Eigen::RowVector3d zeroRow5 = model.jacobian(5, moving).block<1, 3>(9, kWx);
  EXPECT_EIGEN_NEAR(zeroRow3, Eigen::RowVector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(zeroRow4, Eigen::RowVector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(zeroRow5, Eigen::RowVector3d::Zero(), 0.0);
}

TEST(ErrorModel, OnlyTheAngularVelocityChangesAJacobian) {
  const ErrorModelTLSWrenchBias model;
  InertialSample busy;
  busy.linearAcceleration = Eigen::Vector3d(1, 2, 3);
  busy.angularAcceleration = Eigen::Vector3d(4, 5, 6);
  busy.force = Eigen::Vector3d(7, 8, 9);
  busy.torque = Eigen::Vector3d(-1, -2, -3);
  const std::array<int, 6> expectedCounts{4, 4, 4, 6, 6, 6};
  for (int i = 0; i < 6; ++i) {
    const RowJacobian still = model.jacobian(i, InertialSample{});
    EXPECT_EIGEN_NEAR(model.jacobian(i, busy), still, 0.0) << "row " << i;
    EXPECT_EQ(nonZeroCount(still), expectedCounts[static_cast<std::size_t>(i)]);
  }
}

TEST(ErrorModel, JacobiansMatchCentralDifferencesOfTheObservationRows) {
  // D is at most quadratic in the measurements, so a central difference is exact up to
  // rounding and the comparison can be tight.
  const std::uint32_t seed = 20240611;
  std::printf("ErrorModel finite-difference seed %u\n", seed);
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  const ObservationModelTLSWrenchBias observation;
  const ErrorModelTLSWrenchBias model;
  const double h = 1e-3;
  for (int trial = 0; trial < 20; ++trial) {
    MeasurementVector z;
    for (int q = 0; q < 15; ++q) {
      z(q) = value(engine);
    }
    const ErrorModelTLSWrenchBias::SampleJacobians g = model.sampleJacobians(fromMeasurements(z));
    for (int q = 0; q < 15; ++q) {
      MeasurementVector plus = z;
      MeasurementVector minus = z;
      plus(q) += h;
      minus(q) -= h;
      const AugmentedObservation derivative =
          (observation.getAugmentedObservation(fromMeasurements(plus)) -
           observation.getAugmentedObservation(fromMeasurements(minus))) /
          (2.0 * h);
      for (int i = 0; i < 6; ++i) {
        EXPECT_EIGEN_NEAR(model.jacobian(i, g).col(q), derivative.row(i).transpose(), 1e-9)
            << "row " << i << ", measurement " << q << ", trial " << trial;
      }
    }
  }
  // Sanity of the helpers above: a round trip keeps the sample.
  EXPECT_EIGEN_NEAR(measurements(fromMeasurements(MeasurementVector::LinSpaced(1, 15))),
                    MeasurementVector::LinSpaced(1, 15), 0.0);
}

TEST(ErrorModel, JacobianChecksTheRowIndex) {
  const ErrorModelTLSWrenchBias model;
  const InertialSample s = sampleWithOmega(1.0, 2.0, 3.0);
  const ErrorModelTLSWrenchBias::SampleJacobians g = model.sampleJacobians(s);
  EXPECT_THROW(model.jacobian(6, s), std::out_of_range);
  EXPECT_THROW(model.jacobian(-1, g), std::out_of_range);
  EXPECT_NO_THROW(model.jacobian(0, s));
  EXPECT_NO_THROW(model.jacobian(5, g));
}

TEST(ErrorModel, RowErrorCovariance) {
  // Equal variances s and ω = 0: Q_0 = s·G_0·G_0ᵀ has s at (0,0), (2,2), (3,3), (16,16).
  const ErrorModelTLSWrenchBias model;
  const double s = 0.25;
  const AugmentedMatrix q0 = model.rowErrorCovariance(0, model.sampleJacobians(InertialSample{}),
                                                      MeasurementVector::Constant(s));
  AugmentedMatrix expected = AugmentedMatrix::Zero();
  expected(0, 0) = s;
  expected(2, 2) = s;
  expected(3, 3) = s;
  expected(16, 16) = s;
  EXPECT_EIGEN_NEAR(q0, expected, 0.0);

  // Against the dense product for random ω and variances, with the structure the estimator
  // relies on: nothing in the bias rows/columns 10..15, no coupling of 0..9 with 16.
  const std::uint32_t seed = 77;
  std::printf("ErrorModel covariance seed %u\n", seed);
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> value(-4.0, 4.0);
  std::uniform_real_distribution<double> variance(1e-6, 2.0);
  for (int trial = 0; trial < 10; ++trial) {
    const double wx = value(engine), wy = value(engine), wz = value(engine);
    const ErrorModelTLSWrenchBias::SampleJacobians moving =
        model.sampleJacobians(sampleWithOmega(wx, wy, wz));
    MeasurementVector sigma2;
    for (int k = 0; k < 15; ++k) {
      sigma2(k) = variance(engine);
    }
    for (int i = 0; i < 6; ++i) {
      const RowJacobian g = model.jacobian(i, moving);
      const AugmentedMatrix dense = g * sigma2.asDiagonal() * g.transpose();
      const AugmentedMatrix q = model.rowErrorCovariance(i, moving, sigma2);
      EXPECT_EIGEN_NEAR(q, dense, 1e-12 * dense.cwiseAbs().maxCoeff()) << "row " << i;
      // Entries that must be exactly zero, as a mask.
      Eigen::Matrix<bool, 17, 17> zero = Eigen::Matrix<bool, 17, 17>::Constant(false);
      zero.middleRows<6>(10).setConstant(true);
      zero.middleCols<6>(10).setConstant(true);
      zero.block<10, 1>(0, 16).setConstant(true);
      zero.block<1, 10>(16, 0).setConstant(true);
      zero.block<3, 6>(1, 4).setConstant(true);
      zero.block<6, 3>(4, 1).setConstant(true);
      if (i < 3) {
        // Force rows: m couples with nothing, the inertia columns are not involved.
        zero.block<1, 16>(0, 1).setConstant(true);
        zero.block<16, 1>(1, 0).setConstant(true);
        zero.block<6, 6>(4, 4).setConstant(true);
        EXPECT_DOUBLE_EQ(q(16, 16), sigma2(kFx + i));
        EXPECT_GT(q(0, 0), 0.0);
      } else {
        // Torque rows: no mass column.
        zero.row(0).setConstant(true);
        zero.col(0).setConstant(true);
        EXPECT_DOUBLE_EQ(q(16, 16), sigma2(kTx + i - 3));
      }
      for (int r = 0; r < 17; ++r) {
        for (int c = 0; c < 17; ++c) {
          if (zero(r, c)) {
            EXPECT_EQ(q(r, c), 0.0) << "row type " << i << " at " << r << "," << c;
          }
        }
      }
    }
  }
}

TEST(ErrorModel, WriteRowErrorCovarianceTouchesOnlyItsPattern) {
  const ErrorModelTLSWrenchBias model;
  const ErrorModelTLSWrenchBias::SampleJacobians g =
      model.sampleJacobians(sampleWithOmega(0.5, -0.7, 1.1));
  const MeasurementVector sigma2 = MeasurementVector::LinSpaced(0.1, 1.5);
  for (int i = 0; i < 6; ++i) {
    const AugmentedMatrix full = model.rowErrorCovariance(i, g, sigma2);
    AugmentedMatrix q = AugmentedMatrix::Constant(123.0);
    model.writeRowErrorCovariance(i, g, sigma2, q);
    for (int r = 0; r < 17; ++r) {
      for (int c = 0; c < 17; ++c) {
        const bool written = q(r, c) != 123.0;
        if (written) {
          EXPECT_EQ(q(r, c), full(r, c)) << "row type " << i << " at " << r << "," << c;
        } else {
          EXPECT_EQ(full(r, c), 0.0) << "row type " << i << " at " << r << "," << c;
        }
      }
    }
  }
  AugmentedMatrix q = AugmentedMatrix::Zero();
  EXPECT_THROW(model.writeRowErrorCovariance(6, g, sigma2, q), std::out_of_range);
}

TEST(ErrorModel, ResidualSensitivityIsTheDenseProductWithG) {
  const ErrorModelTLSWrenchBias model;
  const ErrorModelTLSWrenchBias::SampleJacobians g =
      model.sampleJacobians(sampleWithOmega(0.5, -0.7, 1.1));
  const AugmentedVector w = AugmentedVector::LinSpaced(-2.0, 3.0);
  for (int i = 0; i < 6; ++i) {
    const Eigen::Matrix<double, 1, 15> dense = w.transpose() * model.jacobian(i, g);
    EXPECT_EIGEN_NEAR(model.residualSensitivity(i, g, w), dense, 1e-14);
  }
  EXPECT_THROW(model.residualSensitivity(-1, g, w), std::out_of_range);
}

}  // namespace
}  // namespace zelto
