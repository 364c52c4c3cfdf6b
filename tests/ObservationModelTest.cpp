#include "ObservationModel.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <random>

#include "TestUtils.h"

namespace zelto {
namespace {

InertialSample sampleOf(const Eigen::Vector3d& a, const Eigen::Vector3d& w,
                        const Eigen::Vector3d& dw, const Eigen::Vector3d& f = Eigen::Vector3d::Zero(),
                        const Eigen::Vector3d& t = Eigen::Vector3d::Zero()) {
  InertialSample s;
  s.time = 123.0;
  s.linearAcceleration = a;
  s.angularVelocity = w;
  s.angularAcceleration = dw;
  s.force = f;
  s.torque = t;
  return s;
}

// The wrench a rigid payload puts on the sensor, written with cross products
// (independent of the skew/regressor matrices under test).
void newtonEuler(const Eigen::Matrix<double, 16, 1>& theta, const InertialSample& s,
                 Eigen::Vector3d& f, Eigen::Vector3d& tau) {
  const double m = theta[0];
  const Eigen::Vector3d h = theta.segment<3>(1);
  Eigen::Matrix3d j;
  j << theta[4], theta[5], theta[6], theta[5], theta[7], theta[8], theta[6], theta[8], theta[9];
  const Eigen::Vector3d& a = s.linearAcceleration;
  const Eigen::Vector3d& w = s.angularVelocity;
  const Eigen::Vector3d& dw = s.angularAcceleration;
  f = theta.segment<3>(10) - m * a - (dw.cross(h) + w.cross(w.cross(h)));
  tau = theta.segment<3>(13) + a.cross(h) - (j * dw + w.cross(j * w));
}

TEST(ObservationModel, SkewAndInertiaProduct) {
  const Eigen::Vector3d v(0.3, -1.2, 2.5), u(-0.7, 0.4, 1.1);
  EXPECT_EIGEN_NEAR(skew(v) * u, v.cross(u), 1e-15);
  Eigen::Matrix3d j;
  j << 2, 0.1, -0.2, 0.1, 3, 0.05, -0.2, 0.05, 4;
  Eigen::Matrix<double, 6, 1> entries;
  entries << 2, 0.1, -0.2, 3, 0.05, 4;
  EXPECT_EIGEN_NEAR(inertiaProductMatrix(u) * entries, j * u, 1e-15);
}

TEST(ObservationModel, GravityOnlySample) {
  ObservationModelTLSWrenchBias model;
  const InertialSample s = sampleOf({0, 0, 9.81}, Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero());
  const ObservationMatrix h = model.getObservationMatrix(s);
  ObservationMatrix expected = ObservationMatrix::Zero();
  expected(2, 0) = 9.81;
  expected(3, 2) = 9.81;
  expected(4, 1) = -9.81;
  expected.block<3, 3>(0, 10) = -Eigen::Matrix3d::Identity();
  expected.block<3, 3>(3, 13) = -Eigen::Matrix3d::Identity();
  EXPECT_EQ(h, expected);

  // m = 1, m·c = (0.05, 0, 0): the wrench that makes D·w vanish.
  Eigen::Matrix<double, 17, 1> w = Eigen::Matrix<double, 17, 1>::Zero();
  w[0] = 1.0;
  w[1] = 0.05;
  w[16] = -1.0;
  const InertialSample loaded = sampleOf({0, 0, 9.81}, Eigen::Vector3d::Zero(),
                                         Eigen::Vector3d::Zero(), {0, 0, -9.81}, {0, 0.4905, 0});
  EXPECT_EIGEN_NEAR(model.getAugmentedObservation(loaded) * w,
                    (Eigen::Matrix<double, 6, 1>::Zero()), 1e-15);
}

TEST(ObservationModel, ZeroSampleLeavesOnlyBiasBlocks) {
  ObservationModelTLSWrenchBias model;
  const AugmentedObservation d = model.getAugmentedObservation(InertialSample{});
  AugmentedObservation expected = AugmentedObservation::Zero();
  expected.block<3, 3>(0, 10) = -Eigen::Matrix3d::Identity();
  expected.block<3, 3>(3, 13) = -Eigen::Matrix3d::Identity();
  EXPECT_EQ(d, expected);
}

TEST(ObservationModel, MatchesNewtonEulerForRandomMotion) {
  const unsigned seed = 20261207;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  auto vec = [&] { return Eigen::Vector3d(u(rng), u(rng), u(rng)); };
  ObservationModelTLSWrenchBias model;
  for (int trial = 0; trial < 200; ++trial) {
    Eigen::Matrix<double, 16, 1> theta;
    for (int i = 0; i < 16; ++i) theta[i] = u(rng);
    InertialSample s = sampleOf(vec(), vec(), vec());
    Eigen::Vector3d f, tau;
    newtonEuler(theta, s, f, tau);
    s.force = f;
    s.torque = tau;
    Eigen::Matrix<double, 17, 1> w;
    w << theta, -1.0;
    ASSERT_EIGEN_NEAR(model.getAugmentedObservation(s) * w, (Eigen::Matrix<double, 6, 1>::Zero()),
                      1e-12);
    // Column 16 is the negated measured wrench; the time stamp plays no part.
    const AugmentedObservation d = model.getAugmentedObservation(s);
    EXPECT_EQ((d.block<3, 1>(0, 16)), -f);
    EXPECT_EQ((d.block<3, 1>(3, 16)), -tau);
    s.time = -5.0;
    EXPECT_EQ(model.getAugmentedObservation(s), d);
  }
}

TEST(ObservationModel, RotationalRowsWrittenOut) {
  // Hand-computed entries of B = L(α) + skew(ω)·L(ω) for ω = (1, 2, 3), α = (0.5, -1, 2).
  ObservationModelTLSWrenchBias model;
  const ObservationMatrix h =
      model.getObservationMatrix(sampleOf({0.1, 0.2, 0.3}, {1, 2, 3}, {0.5, -1, 2}));
  Eigen::Matrix<double, 3, 6> b;
  // row 0: (αx, αy − ωxωz, αz + ωxωy, −ωyωz, ωy² − ωz², ωyωz)
  // row 1: (ωxωz, αx + ωyωz, ωz² − ωx², αy, αz − ωxωy, −ωxωz)
  // row 2: (−ωxωy, ωx² − ωy², αx − ωyωz, ωxωy, αy + ωxωz, αz)
  b << 0.5, -1 - 3, 2 + 2, -6, 4 - 9, 6,  //
      3, 0.5 + 6, 9 - 1, -1, 2 - 2, -3,   //
      -2, 1 - 4, 0.5 - 6, 2, -1 + 3, 2;
  EXPECT_EIGEN_NEAR((h.block<3, 6>(3, 4)), b, 1e-15);
  // A = skew(α) + skew(ω)²
  Eigen::Matrix3d a;
  a << -4 - 9, -2 + 2, -1 + 3,  //
      2 + 2, -1 - 9, -0.5 + 6,  //
      1 + 3, 0.5 + 6, -1 - 4;
  EXPECT_EIGEN_NEAR((h.block<3, 3>(0, 1)), a, 1e-15);
  // −skew(a)
  Eigen::Matrix3d minusSkewA;
  minusSkewA << 0, 0.3, -0.2, -0.3, 0, 0.1, 0.2, -0.1, 0;
  EXPECT_EIGEN_NEAR((h.block<3, 3>(3, 1)), minusSkewA, 1e-15);
  EXPECT_EIGEN_NEAR((h.block<3, 1>(0, 0)), Eigen::Vector3d(0.1, 0.2, 0.3), 0.0);
}

TEST(ObservationModel, StaticRegressorKeepsGravityColumnsOnly) {
  Regressor y;
  y.setConstant(42.0);  // overwritten completely
  fillPayloadRegressor({1, 2, 3}, {4, 5, 6}, {7, 8, 9}, false, y);
  Regressor expected = Regressor::Zero();
  expected.block<3, 1>(0, 0) = Eigen::Vector3d(1, 2, 3);
  expected.block<3, 3>(3, 1) = -skew(Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(y, expected);

  fillPayloadRegressor({1, 2, 3}, {4, 5, 6}, {7, 8, 9}, true, y);
  ObservationModelTLSWrenchBias model;
  EXPECT_EQ(y, (model.getObservationMatrix(sampleOf({1, 2, 3}, {4, 5, 6}, {7, 8, 9})).leftCols<10>()));
}

}  // namespace
}  // namespace zelto
