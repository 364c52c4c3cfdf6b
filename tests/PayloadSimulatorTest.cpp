#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <new>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "ObservationModel.h"
#include "PayloadSimulator.h"
#include "SignalHistory.h"
#include "TestUtils.h"

// Counts heap allocations so that the streaming path can be checked for allocation-free steady
// state. Replacing the global operators is program-wide; the counter is only read around the
// code under test.
namespace {
std::atomic<long> allocationCount{0};
}  // namespace

void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that these replace the global operators it pairs with, and reports free()
// of memory from operator new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace zelto::sim {
namespace {

constexpr std::uint64_t kSeed = 20240611;
constexpr double kPi = 3.14159265358979323846;  // fixed seed of every randomised case below

// Prints the seed once, so a failure can be reproduced with the same draws.
class SeedPrinter : public ::testing::Environment {
 public:
  void SetUp() override { std::cout << "PayloadSimulatorTest seed: " << kSeed << "\n"; }
};
[[maybe_unused]] ::testing::Environment* const seedPrinter =
    ::testing::AddGlobalTestEnvironment(new SeedPrinter);

// An off-centre tool with a full inertia tensor and sensor offsets on every axis.
Payload testPayload() {
  return Payload::fromCentroidal(
      1.7, Eigen::Vector3d(0.012, -0.025, 0.083), {0.011, 0.0008, -0.0012, 0.014, 0.0006, 0.009},
      Eigen::Vector3d(0.8, -1.3, 2.1), Eigen::Vector3d(0.05, 0.03, -0.07));
}

Options testOptions(bool staticPoses = false, std::uint64_t seed = kSeed) {
  Options o;
  o.payload = testPayload();
  o.motion.staticPoses = staticPoses;
  o.seed = seed;
  return o;
}

// Derivative by Richardson-extrapolated central differences (fourth order in h).
template <typename F>
auto derivative(F f, double t, double h) {
  const auto d1 = ((f(t + h) - f(t - h)) / (2.0 * h)).eval();
  const auto d2 = ((f(t + h / 2) - f(t - h / 2)) / h).eval();
  return ((4.0 * d2 - d1) / 3.0).eval();
}

// ---------------------------------------------------------------------------------------------
TEST(Payload, ParameterVectorHasMassFirstMomentInertiaAndBiases) {
  Payload p;
  p.mass = 2.0;
  p.com = Eigen::Vector3d(0.1, -0.2, 0.3);
  p.inertia = {1, 2, 3, 4, 5, 6};
  p.forceBias = Eigen::Vector3d(7, 8, 9);
  p.torqueBias = Eigen::Vector3d(10, 11, 12);
  const std::array<double, 16> expected{2.0, 0.2, -0.4, 0.6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::array<double, 16> theta = p.parameterVector();
  for (std::size_t i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(theta[i], expected[i]) << "entry " << i;
}

TEST(Payload, FromCentroidalAddsThePointMassInertiaOfTheOffset) {
  // A point mass of 2 kg at (0.1, 0.2, 0.3): Ixx = 2·(0.2² + 0.3²) = 0.26, Ixy = −2·0.1·0.2, ...
  const Payload p = Payload::fromCentroidal(2.0, Eigen::Vector3d(0.1, 0.2, 0.3), {},
                                            Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero());
  const std::array<double, 6> expected{0.26, -0.04, -0.06, 0.20, -0.12, 0.10};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(p.inertia[i], expected[i], 1e-15) << i;
  for (const double entry : p.inertiaAboutCom()) EXPECT_NEAR(entry, 0.0, 1e-15);
}

TEST(Payload, ParallelAxisShiftRoundTrips) {
  const std::array<double, 6> centroidal{0.011, 0.0008, -0.0012, 0.014, 0.0006, 0.009};
  const Payload p = testPayload();
  const std::array<double, 6> back = p.inertiaAboutCom();
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(back[i], centroidal[i], 1e-16) << i;
  EXPECT_EQ(p.forceBias, Eigen::Vector3d(0.8, -1.3, 2.1));
  EXPECT_EQ(p.torqueBias, Eigen::Vector3d(0.05, 0.03, -0.07));
}

// ---------------------------------------------------------------------------------------------
TEST(PayloadWrench, EqualsTheSumOverTheParticlesOfARigidBody) {
  // A rigid body of point masses, each given the acceleration of its own position in the
  // moving frame; the sensor reads the bias minus their summed forces and moments.
  const std::vector<std::pair<double, Eigen::Vector3d>> particles{{0.4, {0.02, 0.05, 0.10}},
                                                                  {0.7, {-0.03, 0.01, 0.04}},
                                                                  {0.2, {0.06, -0.04, 0.15}},
                                                                  {0.5, {0.00, 0.02, -0.02}}};
  Payload p;
  p.mass = 0.0;
  Eigen::Vector3d h = Eigen::Vector3d::Zero();
  Eigen::Matrix3d j = Eigen::Matrix3d::Zero();
  for (const auto& [m, r] : particles) {
    p.mass += m;
    h += m * r;
    j += m * (r.squaredNorm() * Eigen::Matrix3d::Identity() - r * r.transpose());
  }
  p.com = h / p.mass;
  p.inertia = {j(0, 0), j(0, 1), j(0, 2), j(1, 1), j(1, 2), j(2, 2)};
  p.forceBias = Eigen::Vector3d(0.3, -0.2, 0.1);
  p.torqueBias = Eigen::Vector3d(-0.01, 0.02, 0.005);

  const Eigen::Vector3d a(1.2, -3.4, 9.0), omega(0.7, -1.9, 2.4), alpha(-6.0, 4.5, 11.0);
  Eigen::Vector3d expectedForce = p.forceBias, expectedTorque = p.torqueBias;
  for (const auto& [m, r] : particles) {
    const Eigen::Vector3d specific = a + alpha.cross(r) + omega.cross(omega.cross(r));
    expectedForce -= m * specific;
    expectedTorque -= r.cross(m * specific);
  }
  Eigen::Vector3d force, torque;
  payloadWrench(p, a, omega, alpha, force, torque);
  EXPECT_EIGEN_NEAR(force, expectedForce, 1e-13);
  EXPECT_EIGEN_NEAR(torque, expectedTorque, 1e-13);
}

// ---------------------------------------------------------------------------------------------
TEST(PayloadSimulator, ExactTruthSatisfiesTheObservationModel) {
  for (const bool staticPoses : {false, true}) {
    const PayloadSimulator sim(testOptions(staticPoses));
    const std::array<double, 16> theta = sim.options().payload.parameterVector();
    Eigen::Matrix<double, 17, 1> x;
    for (std::size_t i = 0; i < 16; ++i) x[static_cast<Eigen::Index>(i)] = theta[i];
    x[16] = -1.0;
    const ObservationModelTLSWrenchBias model;
    for (double t = 0.0; t < 40.0; t += 0.137) {
      const TrueState s = sim.stateAt(t);
      InertialSample in;
      in.time = s.time;
      in.linearAcceleration = s.linearAcceleration;
      in.angularVelocity = s.angularVelocity;
      in.angularAcceleration = s.angularAcceleration;
      in.force = s.force;
      in.torque = s.torque;
      const AugmentedObservation d = model.getAugmentedObservation(in);
      // Relative to the size of the terms that cancel.
      const double scale = (d.cwiseAbs() * x.cwiseAbs()).maxCoeff();
      EXPECT_LE((d * x).cwiseAbs().maxCoeff(), 1e-12 * scale) << "t = " << t;
    }
  }
}

TEST(PayloadSimulator, AngularAccelerationIsTheDerivativeOfAngularVelocity) {
  for (const bool staticPoses : {false, true}) {
    const PayloadSimulator sim(testOptions(staticPoses));
    const auto omega = [&](double t) { return sim.stateAt(t).angularVelocity; };
    int checked = 0;
    for (double t = 0.3; t < 40.0; t += 0.0173) {
      // A move meets a hold with a jump in the third derivative, which the difference
      // quotient does not resolve; α itself is continuous there.
      if (sim.motion().isHolding(t - 1e-3) != sim.motion().isHolding(t + 1e-3)) continue;
      const Eigen::Vector3d alpha = sim.stateAt(t).angularAcceleration;
      EXPECT_EIGEN_NEAR(derivative(omega, t, 1e-3), alpha, 1e-8) << "t = " << t;
      ++checked;
    }
    EXPECT_GT(checked, 2000);
  }
}

TEST(PayloadSimulator, AngularVelocityIsTheBodyRateOfTheOrientation) {
  const PayloadSimulator sim(testOptions());
  const auto rotation = [&](double t) { return sim.stateAt(t).orientation; };
  for (double t = 0.3; t < 20.0; t += 0.311) {
    const TrueState s = sim.stateAt(t);
    // Ṙ = R·[ω]ₓ for a body rate ω.
    const Eigen::Matrix3d omegaHat = s.orientation.transpose() * derivative(rotation, t, 1e-3);
    EXPECT_EIGEN_NEAR(Eigen::Vector3d(omegaHat(2, 1), omegaHat(0, 2), omegaHat(1, 0)),
                      s.angularVelocity, 1e-8)
        << "t = " << t;
    EXPECT_EIGEN_NEAR((omegaHat + omegaHat.transpose()).eval(), Eigen::Matrix3d::Zero(), 1e-8);
  }
}

TEST(PayloadSimulator, SpecificForceIsAccelerationMinusGravityInTheSensorFrame) {
  const PayloadSimulator sim(testOptions());
  const auto position = [&](double t) { return sim.stateAt(t).position; };
  const auto velocity = [&](double t) { return derivative(position, t, 2e-3); };
  for (double t = 0.3; t < 20.0; t += 0.311) {
    const TrueState s = sim.stateAt(t);
    const Eigen::Vector3d worldAcc = derivative(velocity, t, 2e-3);
    const Eigen::Vector3d expected =
        s.orientation.transpose() * (worldAcc - Eigen::Vector3d(0.0, 0.0, -9.81));
    EXPECT_EIGEN_NEAR(s.linearAcceleration, expected, 1e-5) << "t = " << t;
  }
}

TEST(PayloadSimulator, LevelAtRestReadsGravityOnZAndTheStaticWrench) {
  Options o;
  o.payload.mass = 2.0;
  o.payload.com = Eigen::Vector3d(0.01, 0.02, 0.03);
  o.payload.forceBias = Eigen::Vector3d(0.5, -0.25, 1.0);
  o.payload.torqueBias = Eigen::Vector3d(0.01, 0.02, -0.03);
  o.motion.staticPoses = true;
  const PayloadSimulator sim(o);
  const TrueState s = sim.stateAt(0.5);  // the first pose, held for at least 1 s, is z up
  EXPECT_EIGEN_NEAR(s.linearAcceleration, Eigen::Vector3d(0.0, 0.0, 9.81), 1e-14);
  EXPECT_EQ(s.angularVelocity, Eigen::Vector3d::Zero());
  EXPECT_EQ(s.angularAcceleration, Eigen::Vector3d::Zero());
  // f = b − m·g·ẑ; τ = t + (0, 0, g) × (0.02, 0.04, 0.06) = t + (−0.3924, 0.1962, 0).
  EXPECT_EIGEN_NEAR(s.force, Eigen::Vector3d(0.5, -0.25, -18.62), 1e-13);
  EXPECT_EIGEN_NEAR(s.torque, Eigen::Vector3d(-0.3824, 0.2162, -0.03), 1e-14);
}

TEST(PayloadSimulator, StaticPosesHoldStillInAttitudesCoveringEveryDirection) {
  const PayloadSimulator sim(testOptions(true));
  Eigen::Vector3d highest = Eigen::Vector3d::Constant(-1.0), lowest = -highest;
  std::vector<double> holdLengths;
  double holdStart = -1.0;
  const double dt = 0.001;
  for (double t = 0.0; t < 45.0; t += dt) {
    const TrueState s = sim.stateAt(t);
    const bool holding = sim.motion().isHolding(t);
    if (holding) {
      ASSERT_EQ(s.angularVelocity, Eigen::Vector3d::Zero()) << "t = " << t;
      ASSERT_EQ(s.angularAcceleration, Eigen::Vector3d::Zero()) << "t = " << t;
      ASSERT_NEAR(s.linearAcceleration.norm(), 9.81, 1e-12) << "t = " << t;
      const Eigen::Vector3d g = s.linearAcceleration / 9.81;
      highest = highest.cwiseMax(g);
      lowest = lowest.cwiseMin(g);
      if (holdStart < 0.0) holdStart = t;
    } else {
      // Moves are slow: no faster than about 1.5 rad/s.
      ASSERT_LT(s.angularVelocity.norm(), 2.0) << "t = " << t;
      if (holdStart >= 0.0) holdLengths.push_back(t - holdStart);
      holdStart = -1.0;
    }
  }
  EXPECT_GE(holdLengths.size(), 6u);
  for (const double length : holdLengths) {
    EXPECT_GE(length, 1.0 - 2 * dt);
    EXPECT_LE(length, 2.0 + 2 * dt);
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(highest[i], 0.7) << "axis " << i;
    EXPECT_LT(lowest[i], -0.7) << "axis " << i;
  }
}

TEST(PayloadSimulator, HandMotionPointsGravityAlongEveryHalfAxisWithin20Seconds) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const PayloadSimulator sim(testOptions(false, seed));
    Eigen::Vector3d highest = Eigen::Vector3d::Constant(-1.0), lowest = -highest;
    for (double t = 0.0; t <= 20.0; t += 0.01) {
      const Eigen::Vector3d g = sim.stateAt(t).linearAcceleration.normalized();
      highest = highest.cwiseMax(g);
      lowest = lowest.cwiseMin(g);
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_GT(highest[i], 0.7) << "seed " << seed << " axis " << i;
      EXPECT_LT(lowest[i], -0.7) << "seed " << seed << " axis " << i;
    }
  }
}

TEST(PayloadSimulator, HandMotionHasHandLikeRatesAndIntensityScalesTime) {
  const PayloadSimulator sim(testOptions());
  double maxOmega = 0.0, maxAlpha = 0.0, maxAcc = 0.0;
  for (double t = 0.0; t <= 20.0; t += 0.005) {
    const TrueState s = sim.stateAt(t);
    maxOmega = std::max(maxOmega, s.angularVelocity.norm());
    maxAlpha = std::max(maxAlpha, s.angularAcceleration.norm());
    maxAcc = std::max(maxAcc, (s.orientation * s.linearAcceleration).norm() - 9.81);
  }
  EXPECT_GT(maxOmega, 1.5);
  EXPECT_LT(maxOmega, 5.0);
  EXPECT_GT(maxAlpha, 5.0);
  EXPECT_LT(maxAlpha, 25.0);
  EXPECT_GT(maxAcc, 1.0);
  EXPECT_LT(maxAcc, 8.0);

  // Twice the intensity is the same path travelled in half the time.
  Options fast = testOptions();
  fast.motion.intensity = 2.0;
  const PayloadSimulator fastSim(fast);
  for (double t = 0.0; t < 10.0; t += 0.77) {
    const TrueState slow = sim.stateAt(2.0 * t), quick = fastSim.stateAt(t);
    EXPECT_EIGEN_NEAR(quick.orientation, slow.orientation, 1e-12);
    EXPECT_EIGEN_NEAR(quick.angularVelocity, (2.0 * slow.angularVelocity).eval(), 1e-11);
    EXPECT_EIGEN_NEAR(quick.angularAcceleration, (4.0 * slow.angularAcceleration).eval(), 1e-10);
  }
}

// ---------------------------------------------------------------------------------------------
TEST(PayloadSimulator, NoiseFreeSamplesCarryTheTruthOnTheRegularGrid) {
  Options o = testOptions();
  o.motion.rate = 250.0;
  PayloadSimulator sim(o);
  const std::vector<SimSample> samples = sim.generate(2.0);
  ASSERT_EQ(samples.size(), 501u);  // t = 0, 0.004, ..., 2.0
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const SimSample& s = samples[k];
    ASSERT_EQ(s.time, static_cast<double>(k) / 250.0);
    ASSERT_EQ(s.truth.time, s.time);
    const TrueState truth = sim.stateAt(s.time);
    const std::array<Eigen::Vector3d, 4> channels{truth.force, truth.torque,
                                                  truth.linearAcceleration, truth.angularVelocity};
    for (std::size_t i = 0; i < 12; ++i) {
      ASSERT_EQ(s.values[i], channels[i / 3][static_cast<Eigen::Index>(i % 3)]) << k << " " << i;
    }
  }
  // The sample beyond the duration is not lost: the stream continues with it.
  EXPECT_EQ(sim.next().time, 501.0 / 250.0);
  EXPECT_EQ(sim.next().time, 502.0 / 250.0);
}

TEST(PayloadSimulator, NoiseHasTheRequestedVariancePerChannel) {
  Options o = testOptions();
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  PayloadSimulator sim(o);
  const std::array<double, 4> variance{0.01, 1e-5, 1e-3, 1e-5};
  constexpr int kCount = 60000;
  std::array<double, 12> sum{}, sumSq{};
  for (int k = 0; k < kCount; ++k) {
    const SimSample s = sim.next();
    const std::array<Eigen::Vector3d, 4> truth{s.truth.force, s.truth.torque,
                                               s.truth.linearAcceleration, s.truth.angularVelocity};
    for (std::size_t i = 0; i < 12; ++i) {
      const double e = s.values[i] - truth[i / 3][static_cast<Eigen::Index>(i % 3)];
      sum[i] += e;
      sumSq[i] += e * e;
    }
  }
  for (std::size_t i = 0; i < 12; ++i) {
    const double mean = sum[i] / kCount;
    const double var = sumSq[i] / kCount - mean * mean;
    const double expected = variance[i / 3];
    // Standard error of the variance estimate is √(2/N) ≈ 0.6 %, of the mean √(σ²/N).
    EXPECT_NEAR(var / expected, 1.0, 0.03) << "channel " << i;
    EXPECT_LT(std::abs(mean), 5.0 * std::sqrt(expected / kCount)) << "channel " << i;
  }
}

TEST(PayloadSimulator, DropsAndRepeatsAppearAtTheRequestedRates) {
  Options o = testOptions();
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.dropProbability = 0.1;
  o.repeatProbability = 0.05;
  PayloadSimulator sim(o);
  const std::vector<SimSample> samples = sim.generate(100.0);
  std::size_t repeats = 0, distinct = 1;
  for (std::size_t k = 1; k < samples.size(); ++k) {
    const SimSample& a = samples[k - 1];
    const SimSample& b = samples[k];
    if (b.time == a.time) {
      ++repeats;
      ASSERT_EQ(b.values, a.values) << "sample " << k;
      ASSERT_EQ(b.truth.force, a.truth.force) << "sample " << k;
    } else {
      ASSERT_GT(b.time, a.time) << "sample " << k;
      ASSERT_NE(b.values, a.values) << "sample " << k;
      ++distinct;
    }
    // Every time stamp stays on the 1 kHz grid.
    ASSERT_NEAR(b.time * 1000.0, std::round(b.time * 1000.0), 1e-9);
  }
  const double slots = 100001.0;  // t = 0 .. 100 s at 1 kHz
  const double dropRate = 1.0 - static_cast<double>(distinct) / slots;
  const double repeatRate = static_cast<double>(repeats) / static_cast<double>(samples.size());
  EXPECT_NEAR(dropRate, 0.1, 0.005);  // binomial standard error ≈ 0.001
  EXPECT_NEAR(repeatRate, 0.05, 0.004);
}

TEST(PayloadSimulator, SameSeedSameStreamOtherSeedOtherStream) {
  Options o = testOptions();
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.dropProbability = 0.05;
  o.repeatProbability = 0.05;
  PayloadSimulator first(o), second(o);
  o.seed = kSeed + 1;
  PayloadSimulator other(o);
  int differing = 0;
  for (int k = 0; k < 5000; ++k) {
    const SimSample a = first.next(), b = second.next(), c = other.next();
    ASSERT_EQ(a.time, b.time) << k;
    ASSERT_EQ(a.values, b.values) << k;
    if (a.values != c.values) ++differing;
  }
  EXPECT_GT(differing, 4900);
  // The motion itself differs too, not only the noise.
  EXPECT_GT((first.stateAt(3.0).orientation - other.stateAt(3.0).orientation).norm(), 1e-3);
}

// ---------------------------------------------------------------------------------------------
TEST(PayloadSimulator, DisturbancesAddTheirWrenchAndLeaveMotionAndNoiseAlone) {
  // t (s)   0.300  0.312         1.0  1.1         1.4  1.5
  // tap      |^^^^^|   (half sine, peak at 0.306)
  // contact                      /‾‾‾‾‾‾‾‾‾‾‾‾‾‾‾‾‾‾‾\  (0.1 s ramps)
  // Outside both the measured stream equals the undisturbed one bit for bit.
  Options o = testOptions();
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.dropProbability = 0.05;
  o.repeatProbability = 0.05;
  PayloadSimulator plain(o);
  Disturbance tap;
  tap.shape = Disturbance::Shape::HalfSine;
  tap.start = 0.3;
  tap.duration = 0.012;
  tap.force = Eigen::Vector3d(30.0, -40.0, 0.0);
  tap.point = Eigen::Vector3d(0.05, 0.0, 0.02);
  o.disturbances = {
      tap, contact(1.0, 0.5, Eigen::Vector3d(0, 0, -20), Eigen::Vector3d(0.1, 0, 0.15), 0.1)};
  PayloadSimulator disturbed(o);
  // Expected increments (force, torque) at a few times, worked out by hand: p × F of the tap is
  // (0.8, 0.6, −2.0), of the contact (0, 2, 0).
  const std::vector<std::tuple<double, Eigen::Vector3d, Eigen::Vector3d>> expected{
      {0.306, {30.0, -40.0, 0.0}, {0.8, 0.6, -2.0}},
      {0.302, {15.0, -20.0, 0.0}, {0.4, 0.3, -1.0}},  // sin(π/6)
      {0.310, {15.0, -20.0, 0.0}, {0.4, 0.3, -1.0}},
      {1.05, {0.0, 0.0, -10.0}, {0.0, 1.0, 0.0}},
      {1.25, {0.0, 0.0, -20.0}, {0.0, 2.0, 0.0}},
      {1.47, {0.0, 0.0, -6.0}, {0.0, 0.6, 0.0}}};
  std::size_t spotChecks = 0;
  for (int k = 0; k < 2000; ++k) {
    const SimSample a = plain.next(), b = disturbed.next();
    ASSERT_EQ(a.time, b.time) << k;
    ASSERT_EQ(a.truth.force, b.truth.force) << k;
    ASSERT_EQ(a.truth.orientation, b.truth.orientation) << k;
    ASSERT_EQ(a.truth.externalForce, Eigen::Vector3d::Zero()) << k;
    Eigen::Vector3d df, dt;
    for (int i = 0; i < 3; ++i) {
      df[i] = b.values[static_cast<std::size_t>(i)] - a.values[static_cast<std::size_t>(i)];
      dt[i] = b.values[static_cast<std::size_t>(3 + i)] - a.values[static_cast<std::size_t>(3 + i)];
    }
    const double t = b.time;
    const bool inside = (t >= 0.3 && t <= 0.312) || (t > 1.0 && t < 1.5);
    if (!inside) {
      ASSERT_EQ(a.values, b.values) << "t = " << t;
      ASSERT_EQ(b.truth.externalForce, Eigen::Vector3d::Zero()) << "t = " << t;
      continue;
    }
    for (std::size_t i = 6; i < 12; ++i) ASSERT_EQ(a.values[i], b.values[i]) << "t = " << t;
    ASSERT_EIGEN_NEAR(df, b.truth.externalForce, 1e-12) << "t = " << t;
    ASSERT_EIGEN_NEAR(dt, b.truth.externalTorque, 1e-12) << "t = " << t;
    for (const auto& [time, force, torque] : expected) {
      if (std::abs(t - time) > 1e-9) continue;
      EXPECT_EIGEN_NEAR(df, force, 1e-10) << "t = " << t;
      EXPECT_EIGEN_NEAR(dt, torque, 1e-10) << "t = " << t;
      ++spotChecks;
    }
  }
  EXPECT_GE(spotChecks, 4u);  // drops may hide one of the six
}

TEST(PayloadSimulator, RandomTapsFollowTheirSeedAndStayInRange) {
  const std::vector<Disturbance> taps = randomTaps(7, 200, 2.0, 10.0);
  const std::vector<Disturbance> again = randomTaps(7, 200, 2.0, 10.0);
  ASSERT_EQ(taps.size(), 200u);
  ASSERT_EQ(again.size(), 200u);
  EXPECT_NE(randomTaps(8, 1, 2.0, 10.0)[0].start, taps[0].start);
  Eigen::Vector3d meanDirection = Eigen::Vector3d::Zero();
  for (std::size_t i = 0; i < taps.size(); ++i) {
    const Disturbance& tap = taps[i];
    EXPECT_TRUE(tap.start == again[i].start && tap.force == again[i].force &&
                tap.point == again[i].point && tap.duration == again[i].duration);
    EXPECT_TRUE(tap.shape == Disturbance::Shape::HalfSine);
    EXPECT_TRUE(tap.start >= 2.0 && tap.start <= 10.0) << tap.start;
    EXPECT_TRUE(tap.duration >= 0.005 && tap.duration <= 0.02) << tap.duration;
    EXPECT_TRUE(tap.force.norm() >= 20.0 && tap.force.norm() <= 50.0) << tap.force.norm();
    EXPECT_LE(tap.point.norm(), 0.1);
    meanDirection += tap.force.normalized() / 200.0;
  }
  EXPECT_LT(meanDirection.norm(), 0.25);  // about 1/√200 for isotropic directions
}

TEST(PayloadSimulator, RobotTurnTurnsAboutOneSensorAxisOnly) {
  // One cycle, turn by π/2 about each axis in turn:
  //   0 ── hold ── 0.5 ── move out ── 6.5 ── hold ── 7.0 ── move back ── 13.0
  // (ω, α) lie on the turned axis; the far hold reads gravity rotated by π/2.
  const std::array<Eigen::Vector3d, 3> farGravity{
      Eigen::Vector3d(0, 9.81, 0), Eigen::Vector3d(-9.81, 0, 0), Eigen::Vector3d(0, 0, 9.81)};
  for (int axis = 0; axis < 3; ++axis) {
    Options o = testOptions();
    o.motion.robotTurn = true;
    o.motion.turn.axis = axis;
    o.motion.turn.angle = kPi / 2;
    const PayloadSimulator sim(o);
    EXPECT_EIGEN_NEAR(sim.stateAt(0.2).linearAcceleration, Eigen::Vector3d(0, 0, 9.81), 1e-15);
    EXPECT_EIGEN_NEAR(sim.stateAt(6.7).linearAcceleration, farGravity[axis], 1e-14);
    EXPECT_EIGEN_NEAR(sim.stateAt(6.5).orientation,
                      Eigen::AngleAxisd(kPi / 2, Eigen::Vector3d::Unit(axis)).toRotationMatrix(),
                      1e-15);
    // The quintic's peak rate 1.875·Δ/T at mid-move, negative on the way back.
    EXPECT_NEAR(sim.stateAt(3.5).angularVelocity[axis], 1.875 * kPi / 2 / 6.0, 1e-14);
    EXPECT_NEAR(sim.stateAt(10.0).angularVelocity[axis], -1.875 * kPi / 2 / 6.0, 1e-14);
    EXPECT_EIGEN_NEAR(sim.stateAt(13.2).orientation, Eigen::Matrix3d::Identity(), 1e-15);
    const auto omega = [&](double t) { return sim.stateAt(t).angularVelocity; };
    for (double t = 0.0; t < 26.0; t += 0.0113) {
      const TrueState s = sim.stateAt(t);
      for (int other = 0; other < 3; ++other) {
        if (other == axis) continue;
        ASSERT_EQ(s.angularVelocity[other], 0.0) << "t = " << t;
        ASSERT_EQ(s.angularAcceleration[other], 0.0) << "t = " << t;
      }
      ASSERT_EQ(s.position, Eigen::Vector3d::Zero());
      if (t < 0.01 || sim.motion().isHolding(t - 1e-3) != sim.motion().isHolding(t + 1e-3)) {
        continue;
      }
      EXPECT_EIGEN_NEAR(derivative(omega, t, 1e-3), s.angularAcceleration, 1e-9) << "t = " << t;
    }
  }
}

TEST(PayloadSimulator, StreamingDoesNotAllocate) {
  Options o = testOptions();
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.repeatProbability = 0.1;
  o.dropProbability = 0.1;
  PayloadSimulator sim(o);
  sim.next();
  double sink = 0.0;
  const long before = allocationCount.load();
  for (int k = 0; k < 10000; ++k) sink += sim.next().values[0];
  EXPECT_EQ(allocationCount.load(), before);
  EXPECT_TRUE(std::isfinite(sink));
}

TEST(PayloadSimulator, RejectsImpossibleOptions) {
  const auto rejects = [](auto change) {
    Options o;
    change(o);
    EXPECT_THROW(PayloadSimulator{o}, std::invalid_argument);
  };
  rejects([](Options& o) { o.motion.rate = 0.0; });
  rejects([](Options& o) { o.motion.intensity = -1.0; });
  rejects([](Options& o) { o.noise.torque = -1e-6; });
  rejects([](Options& o) { o.dropProbability = 1.0; });
  rejects([](Options& o) { o.repeatProbability = -0.1; });
  rejects([](Options& o) { o.disturbances = {contact(1.0, -0.5, {1, 0, 0}, {0, 0, 0})}; });
  rejects([](Options& o) { o.motion.robotTurn = o.motion.staticPoses = true; });
  rejects([](Options& o) {
    o.motion.robotTurn = true;
    o.motion.turn.axis = 3;
  });
  EXPECT_NO_THROW(PayloadSimulator{Options{}});
}

}  // namespace
}  // namespace zelto::sim
