#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "InertiaEstimator.h"
#include "PayloadSimulator.h"
#include "Sample.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::infoLine;
using Vector16 = InertiaEstimator::Vector16;

EstimatorConfig handMotionConfig() {
  EstimatorConfig c;
  c.priorMass = 1.0;
  c.priorCom = {0.0, 0.0, 0.05};
  c.priorInertia = {0.001, 0.0, 0.0, 0.001, 0.0, 0.001};
  c.noiseForce = {0.01, 0.01, 0.01};
  c.noiseTorque = {1e-5, 1e-5, 1e-5};
  c.noiseLinearAcc = {1e-3, 1e-3, 1e-3};
  c.noiseAngularVel = {1e-5, 1e-5, 1e-5};
  c.noiseAngularAcc = {1e-2, 1e-2, 1e-2};
  c.thresholdMass = 0.01;
  c.thresholdCom = 0.001;
  c.thresholdInertia = 5e-4;
  c.thresholdWrenchBias = 0.01;
  return c;
}

EstimatorConfig withThresholds(double mass, double com, double inertia, double bias) {
  EstimatorConfig c = handMotionConfig();
  c.priorCom = {0.0, 0.0, 0.0};
  c.thresholdMass = mass;
  c.thresholdCom = com;
  c.thresholdInertia = inertia;
  c.thresholdWrenchBias = bias;
  return c;
}

StampedVector3 stamped(double t, double x, double y, double z) {
  return StampedVector3{t, Eigen::Vector3d(x, y, z)};
}

// One input sample in the order the front drives the estimator.
void feed(InertiaEstimator& e, double t, const Eigen::Vector3d& force,
          const Eigen::Vector3d& torque, const Eigen::Vector3d& linAcc,
          const Eigen::Vector3d& angVel) {
  e.imuCallback({t, linAcc}, {t, angVel});
  e.wrenchCallback({t, force}, {t, torque});
}

void feed(InertiaEstimator& e, const sim::SimSample& s) {
  const SplitSample split = splitSample(s.time, s.values);
  e.imuCallback(split.linearAcceleration, split.angularVelocity);
  e.wrenchCallback(split.force, split.torque);
  e.update();
}

// A started estimator (setConfig prints the initialisation lines, which are not checked here).
struct Started {
  explicit Started(const EstimatorConfig& c = handMotionConfig()) : estimator(c) {
    CoutCapture quiet;
    estimator.setConfig(c);
  }
  InertiaEstimator estimator;
};

sim::Options movingPayload(std::uint64_t seed) {
  sim::Options o;
  o.payload = sim::Payload::fromCentroidal(
      1.0, Eigen::Vector3d(0.01, -0.02, 0.08), {0.002, 0.0001, 0.0, 0.003, 0.0, 0.001},
      Eigen::Vector3d(0.5, -0.3, 1.0), Eigen::Vector3d(0.02, 0.01, -0.03));
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.seed = seed;
  return o;
}

// --- joins -------------------------------------------------------------------------------

TEST(InertiaEstimatorJoin, FirstSampleJoinsNothingAndUpdatePassesNothing) {
  Started s;
  InertiaEstimator& e = s.estimator;
  const Vector16 priorVariance = e.getParamsVariance();
  feed(e, 0.5, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0.1, 0.2, 0.3});
  EXPECT_FALSE(e.newSampleJoined());
  EXPECT_EQ(e.currentSample().time, 0.0);
  EXPECT_EIGEN_NEAR(e.currentSample().force, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_TRUE(e.update());
  // The algorithm has consumed nothing: its covariance is still the initial one.
  EXPECT_EIGEN_NEAR(e.getParamsVariance(), priorVariance, 0.0);
  EXPECT_EIGEN_NEAR(e.tool().getBiasCovariance(), (Eigen::Matrix<double, 6, 6>::Ones()), 0.0);
}

TEST(InertiaEstimatorJoin, SecondSampleJoinsWithZeroAngularAcceleration) {
  Started s;
  InertiaEstimator& e = s.estimator;
  feed(e, 0.5, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0.1, 0.2, 0.3});
  e.update();
  feed(e, 0.501, {1.5, 2.5, 3.5}, {4.5, 5.5, 6.5}, {7.5, 8.5, 9.5}, {0.4, 0.5, 0.6});
  ASSERT_TRUE(e.newSampleJoined());
  const InertialSample& j = e.currentSample();
  EXPECT_EQ(j.time, 0.501);
  EXPECT_EIGEN_NEAR(j.linearAcceleration, Eigen::Vector3d(7.5, 8.5, 9.5), 0.0);
  EXPECT_EIGEN_NEAR(j.angularVelocity, Eigen::Vector3d(0.4, 0.5, 0.6), 0.0);
  // The first value of the exponential filter is a zero derivative.
  EXPECT_EIGEN_NEAR(j.angularAcceleration, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(j.force, Eigen::Vector3d(1.5, 2.5, 3.5), 0.0);
  EXPECT_EIGEN_NEAR(j.torque, Eigen::Vector3d(4.5, 5.5, 6.5), 0.0);

  EXPECT_TRUE(e.update());
  EXPECT_FALSE(e.newSampleJoined());
  // The sample was consumed: the covariance is no longer the initial all-ones matrix.
  EXPECT_GT((e.tool().getBiasCovariance() - Eigen::Matrix<double, 6, 6>::Ones()).norm(), 0.0);
}

TEST(InertiaEstimatorJoin, ThirdSampleHasTheFilteredAngularAcceleration) {
  Started s;
  InertiaEstimator& e = s.estimator;
  feed(e, 1.000, {0, 0, 0}, {0, 0, 0}, {0, 0, 9.81}, {0.0, 0.0, 0.0});
  feed(e, 1.001, {0, 0, 0}, {0, 0, 0}, {0, 0, 9.81}, {0.0, 0.0, 0.0});
  feed(e, 1.002, {0, 0, 0}, {0, 0, 0}, {0, 0, 9.81}, {1.0, 0.0, -2.0});
  // Smoothed with α = 0.001 / 0.101: derivative = step / (dt + τ) = 1 / 0.101 per second.
  EXPECT_EIGEN_NEAR(e.currentSample().angularAcceleration,
                    Eigen::Vector3d(9.900990099009901, 0.0, -19.801980198019802), 1e-9);
}

TEST(InertiaEstimatorJoin, SameSampleIsNeverPassedTwice) {
  Started s;
  InertiaEstimator& e = s.estimator;
  sim::PayloadSimulator simulator(movingPayload(11));
  for (int i = 0; i < 50; ++i) {
    feed(e, simulator.next());
  }
  const Vector16 solution = e.getParamsSolution();
  const Vector16 variance = e.getParamsVariance();
  // No new input: further updates hand nothing to the algorithm.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(e.update());
  }
  EXPECT_EIGEN_NEAR(e.getParamsSolution(), solution, 0.0);
  EXPECT_EIGEN_NEAR(e.getParamsVariance(), variance, 0.0);
  // One more input does change the estimate.
  feed(e, simulator.next());
  EXPECT_GT((e.getParamsSolution() - solution).norm(), 0.0);
}

TEST(InertiaEstimatorJoin, RepeatedImuTimeIsDroppedButWrenchIsStored) {
  Started s;
  InertiaEstimator& e = s.estimator;
  feed(e, 2.000, {1, 1, 1}, {0, 0, 0}, {0, 0, 9.0}, {0, 0, 0});
  feed(e, 2.001, {2, 2, 2}, {0, 0, 0}, {0, 0, 9.5}, {0, 0, 0});
  e.update();
  // 4 µs later: the same IMU sample again, with other values that must not be taken.
  feed(e, 2.001004, {3, 3, 3}, {0, 0, 0}, {0, 0, 100.0}, {5, 5, 5});
  EXPECT_EQ(e.newestSampleTime(), 2.001004);  // the wrench side stored it
  ASSERT_TRUE(e.newSampleJoined());
  // The wrench is newer than the IMU: the join keeps the IMU time and interpolates the
  // wrench there, which is the stored value at 2.001.
  EXPECT_EQ(e.currentSample().time, 2.001);
  EXPECT_EIGEN_NEAR(e.currentSample().linearAcceleration, Eigen::Vector3d(0, 0, 9.5), 0.0);
  EXPECT_EIGEN_NEAR(e.currentSample().angularVelocity, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(e.currentSample().force, Eigen::Vector3d(2, 2, 2), 1e-9);
  // A time 10 µs or more away is a new IMU sample.
  feed(e, 2.002, {4, 4, 4}, {0, 0, 0}, {0, 0, 9.7}, {0, 0, 0});
  EXPECT_EQ(e.currentSample().time, 2.002);
  EXPECT_EIGEN_NEAR(e.currentSample().linearAcceleration, Eigen::Vector3d(0, 0, 9.7), 0.0);
  EXPECT_EIGEN_NEAR(e.currentSample().force, Eigen::Vector3d(4, 4, 4), 0.0);
}

TEST(InertiaEstimatorJoin, WrenchNewerThanImuIsInterpolatedToTheImuTime) {
  Started s;
  InertiaEstimator& e = s.estimator;
  e.imuCallback(stamped(0.000, 0, 0, 9.81), stamped(0.000, 0, 0, 0));
  e.wrenchCallback(stamped(0.000, 0, 0, 0), stamped(0.000, 0, 0, 0));
  e.imuCallback(stamped(0.010, 0, 0, 9.81), stamped(0.010, 0, 0, 0));
  // Force at 0.006 s and 0.016 s; the IMU record is at 0.010 s.
  e.wrenchCallback(stamped(0.006, 1.0, -2.0, 0.0), stamped(0.006, 0.1, 0.0, 0.0));
  e.wrenchCallback(stamped(0.016, 2.0, -4.0, 1.0), stamped(0.016, 0.2, 0.0, 0.5));
  ASSERT_TRUE(e.newSampleJoined());
  EXPECT_EQ(e.currentSample().time, 0.010);
  EXPECT_EIGEN_NEAR(e.currentSample().force, Eigen::Vector3d(1.4, -2.8, 0.4), 1e-12);
  EXPECT_EIGEN_NEAR(e.currentSample().torque, Eigen::Vector3d(0.14, 0.0, 0.2), 1e-12);
}

TEST(InertiaEstimatorJoin, InitClearsHistoriesButKeepsTheCurrentSample) {
  Started s;
  InertiaEstimator& e = s.estimator;
  feed(e, 3.000, {1, 1, 1}, {0, 0, 0}, {0, 0, 9.81}, {0, 0, 0});
  feed(e, 3.001, {2, 2, 2}, {0, 0, 0}, {0, 0, 9.81}, {0, 0, 0});
  ASSERT_TRUE(e.newSampleJoined());
  ASSERT_TRUE(e.hasStoredSample());
  {
    CoutCapture quiet;
    e.init();
  }
  EXPECT_FALSE(e.newSampleJoined());
  EXPECT_FALSE(e.hasStoredSample());
  EXPECT_EQ(e.currentSample().time, 3.001);
  // After the restart the first input joins nothing again (the histories are empty), and
  // a time before the previous run's samples is accepted.
  feed(e, 0.5, {1, 1, 1}, {0, 0, 0}, {0, 0, 9.81}, {0, 0, 0});
  EXPECT_FALSE(e.newSampleJoined());
  EXPECT_EQ(e.newestSampleTime(), 0.5);
}

TEST(InertiaEstimatorJoin, JoinCounterIsSharedAndSafeAcrossThreads) {
  constexpr int kSamples = 2000;
  constexpr int kThreads = 4;
  const int before = InertiaEstimator::joinCount();
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([k] {
      // The estimator only prints while it is set up; no updates go to an algorithm here.
      InertiaEstimator e(handMotionConfig());
      for (int i = 0; i < kSamples; ++i) {
        const double t = 0.001 * i;
        e.imuCallback(stamped(t, 0, 0, 9.81), stamped(t, 0.01 * k, 0, 0));
        e.wrenchCallback(stamped(t, 0, 0, -9.81), stamped(t, 0, 0, 0));
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  // Every input but the first of each estimator joins once.
  EXPECT_EQ(InertiaEstimator::joinCount() - before, kThreads * (kSamples - 1));
}

// --- results -----------------------------------------------------------------------------

TEST(InertiaEstimatorResult, SolutionHas16ValuesInFileOrder) {
  EstimatorConfig c = handMotionConfig();
  c.priorMass = 2.0;
  c.priorCom = {0.1, 0.0, 0.05};
  c.priorInertia = {0.01, 0.001, 0.002, 0.02, 0.003, 0.03};
  Started s(c);
  Vector16 expected;
  expected << 2.0, 0.1, 0.0, 0.05, 0.01, 0.001, 0.002, 0.02, 0.003, 0.03, 0, 0, 0, 0, 0, 0;
  EXPECT_EIGEN_NEAR(s.estimator.getParamsSolution(), expected, 1e-15);
}

TEST(InertiaEstimatorResult, BiasAndCentreOfMassLandInTheirSlots) {
  const std::uint64_t seed = 21;
  SCOPED_TRACE("simulation seed " + std::to_string(seed));
  Started s;
  InertiaEstimator& e = s.estimator;
  sim::PayloadSimulator simulator(movingPayload(seed));
  CoutCapture quiet;
  for (const sim::SimSample& sample : simulator.generate(8.0)) {
    feed(e, sample);
  }
  const Vector16 p = e.getParamsSolution();
  EXPECT_NEAR(p[0], 1.0, 0.01);
  EXPECT_EIGEN_NEAR(p.segment<3>(1), Eigen::Vector3d(0.01, -0.02, 0.08), 0.003);
  EXPECT_EIGEN_NEAR(p.segment<3>(10), Eigen::Vector3d(0.5, -0.3, 1.0), 0.05);
  EXPECT_EIGEN_NEAR(p.segment<3>(13), Eigen::Vector3d(0.02, 0.01, -0.03), 0.01);
  // The variances are the diagonals of the tool's two covariances.
  const Vector16 v = e.getParamsVariance();
  EXPECT_EIGEN_NEAR(v.head<10>(), e.tool().getParamsCovariance().diagonal(), 0.0);
  EXPECT_EIGEN_NEAR(v.tail<6>(), e.tool().getBiasCovariance().diagonal(), 0.0);
  EXPECT_TRUE((v.array() > 0.0).all());
}

// --- convergence test ----------------------------------------------------------------------
// After setConfig and before any sample the covariance of θ is all ones. With the prior
// centre of mass at the origin every standard deviation is then exactly 1.

TEST(InertiaEstimatorConvergence, StandardDeviationEqualToThresholdBlocks) {
  EXPECT_TRUE(Started(withThresholds(1.5, 1.5, 1.5, 1.5)).estimator.isConverged());
  EXPECT_FALSE(Started(withThresholds(1.0, 1.5, 1.5, 1.5)).estimator.isConverged());
  EXPECT_FALSE(Started(withThresholds(1.5, 1.0, 1.5, 1.5)).estimator.isConverged());
  EXPECT_FALSE(Started(withThresholds(1.5, 1.5, 1.0, 1.5)).estimator.isConverged());
  EXPECT_FALSE(Started(withThresholds(1.5, 1.5, 1.5, 1.0)).estimator.isConverged());
  EXPECT_TRUE(
      Started(withThresholds(1.0000001, 1.0000001, 1.0000001, 1.0000001)).estimator.isConverged());
}

TEST(InertiaEstimatorConvergence, NanStandardDeviationDoesNotBlock) {
  // A zero prior mass makes the centre of mass 0/0: its variances are NaN.
  EstimatorConfig c = withThresholds(1.5, 1e-12, 1.5, 1.5);
  c.priorMass = 0.0;
  Started s(c);
  const Vector16 v = s.estimator.getParamsVariance();
  ASSERT_TRUE(std::isnan(v[1]) && std::isnan(v[2]) && std::isnan(v[3]));
  EXPECT_TRUE(s.estimator.isConverged());
  // The finite ones still count.
  c.thresholdInertia = 0.5;
  EXPECT_FALSE(Started(c).estimator.isConverged());
}

TEST(InertiaEstimatorConvergence, BeforeAnyRunAllDeviationsReadZero) {
  // No algorithm yet: every standard deviation is 0, so positive thresholds pass.
  EXPECT_TRUE(InertiaEstimator(withThresholds(1e-9, 1e-9, 1e-9, 1e-9)).isConverged());
  EXPECT_FALSE(InertiaEstimator(withThresholds(1e-9, 0.0, 1e-9, 1e-9)).isConverged());
}

TEST(InertiaEstimatorConvergence, SetConfigTakesNewThresholdsAndRestarts) {
  InertiaEstimator e(withThresholds(0.5, 0.5, 0.5, 0.5));
  CoutCapture out;
  e.setConfig(withThresholds(2.0, 2.0, 2.0, 2.0));
  EXPECT_TRUE(e.isConverged());
  const std::string text = out.str();
  const std::string tail =
      infoLine("Estimation tool has been initialized") + infoLine("Estimator has been initialized");
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace zelto
