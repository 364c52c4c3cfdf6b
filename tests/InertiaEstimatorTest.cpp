#include <gtest/gtest.h>

#include <Eigen/Core>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "InertiaEstimator.h"
#include "PayloadSimulator.h"
#include "Sample.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::infoLine;
using test::warnLine;
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
  c.noiseAngularAcc = {5.7e-3, 5.7e-3, 5.7e-3};
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

// One input through the pass the estimator's front runs; the sample it judged, if any.
std::optional<InertialSample> feed(InertiaEstimator& e, const SplitSample& input) {
  const JoinedSamples joined = e.join(input);
  e.process(joined);
  return joined.judged;
}

std::optional<InertialSample> feed(InertiaEstimator& e, double t, const Eigen::Vector3d& force,
                                   const Eigen::Vector3d& torque, const Eigen::Vector3d& linAcc,
                                   const Eigen::Vector3d& angVel) {
  return feed(e, SplitSample{{t, force}, {t, torque}, {t, linAcc}, {t, angVel}});
}

void feed(InertiaEstimator& e, const sim::SimSample& s) { feed(e, splitSample(s.time, s.values)); }

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

// A cubic angular velocity, whose derivative the centred fit reproduces exactly, with the other
// channels linear in time so that every value tells the time it was taken at.
std::optional<InertialSample> feedCubic(InertiaEstimator& e, double t0, double t) {
  const double x = t - t0;
  return feed(e, t, {x, 1.0, 2.0}, {0.0, x, 0.5}, {0.0, 2.0 * x, 9.81},
              {2.0 * x * x * x - x + 0.5, 0.3, -x * x});
}

// The joined sample is the input at its time, with the cubic's exact derivative.
void expectExactJoin(const InertialSample& j, double t0, double tolerance) {
  const double x = j.time - t0;
  EXPECT_EIGEN_NEAR(j.angularAcceleration, Eigen::Vector3d(6.0 * x * x - 1.0, 0.0, -2.0 * x),
                    tolerance);
  EXPECT_EIGEN_NEAR(j.force, Eigen::Vector3d(x, 1.0, 2.0), 1e-12);
  EXPECT_EIGEN_NEAR(j.torque, Eigen::Vector3d(0.0, x, 0.5), 1e-12);
  EXPECT_EIGEN_NEAR(j.linearAcceleration, Eigen::Vector3d(0.0, 2.0 * x, 9.81), 1e-12);
  EXPECT_EQ(j.angularVelocity.y(), 0.3);
}

TEST(InertiaEstimatorJoin, JoinsTheWindowCentreWithTheExactDerivativeAfterASilentWarmUp) {
  for (const double t0 : {0.5, 1.7e9}) {  // also with Unix-epoch time stamps
    SCOPED_TRACE(t0);
    Started s;
    InertiaEstimator& e = s.estimator;
    auto console = std::make_unique<CoutCapture>();
    // 1 kHz: the centre is 25 ms behind the newest input, and the half before it needs two
    // inputs, so the 28th input is the first to join (at the third input's time).
    int i = 0;
    for (; i < 27; ++i) {
      EXPECT_FALSE(feedCubic(e, t0, t0 + 0.001 * i)) << i;
    }
    const std::optional<InertialSample> j = feedCubic(e, t0, t0 + 0.001 * i);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->time, t0 + 0.002);
    expectExactJoin(*j, t0, t0 > 1.0e6 ? 1e-4 : 1e-9);  // epoch stamps resolve 0.24 µs
    EXPECT_EQ(console->str(), "");
    // From then on every input joins one sample (these values fit no rigid body, so the gate
    // soon leaves them out: quiet that); the histories hold the window only.
    console = std::make_unique<CoutCapture>();
    for (++i; i < 3000; ++i) {
      EXPECT_TRUE(feedCubic(e, t0, t0 + 0.001 * i));
    }
    EXPECT_LE(e.historySize(), 53u);
    // A gap leaves the half before the centre empty: nothing is joined until it refills.
    console = std::make_unique<CoutCapture>();
    const double resume = t0 + 3.2;
    for (int k = 0; k < 27; ++k) {
      EXPECT_FALSE(feedCubic(e, t0, resume + 0.001 * k)) << k;
    }
    EXPECT_TRUE(feedCubic(e, t0, resume + 0.027));
    // (The gate may speak about these values; the join itself says nothing.)
    EXPECT_EQ(console->str().find("Inputs arrive"), std::string::npos);
  }
}

TEST(InertiaEstimatorJoin, SlowInputsWidenTheWindowAndInputsTooSparseAreNamedOnce) {
  // Below 100 Hz the half width is 2.5 periods: two inputs on either side of the centre, so
  // the sixth input joins the third. There the configured angular-acceleration variance
  // (5.7e-3) is below the derivative's noise at 80 and 50 Hz, which is used instead, once said.
  const auto raised = [](const char* factor, const char* variance) {
    return warnLine(std::string("The configured angular_acc variance is below the derivative's "
                                "own noise at this input rate (angular_vel variance x ") +
                    factor + " = " + variance +
                    " rad^2/s^4 at most): the derivative's noise is used instead where it is "
                    "larger");
  };
  const std::pair<double, std::string> rates[] = {{80.0, raised("5777.777778", "0.057778")},
                                                  {50.0, raised("2256.944444", "0.022569")},
                                                  {20.0, ""}};
  for (const auto& [rate, line] : rates) {
    SCOPED_TRACE(rate);
    Started s;
    CoutCapture console;
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(feedCubic(s.estimator, 0.3, 0.3 + i / rate)) << i;
    const std::optional<InertialSample> j = feedCubic(s.estimator, 0.3, 0.3 + 5 / rate);
    ASSERT_TRUE(j);
    EXPECT_NEAR(j->time, 0.3 + 2 / rate, 1e-12);
    expectExactJoin(*j, 0.3, 1e-9);
    feedCubic(s.estimator, 0.3, 0.3 + 6 / rate);
    EXPECT_EQ(console.str(), line);
  }
  // Inputs further apart than 62.5 ms never fit twice into half of the widest window (125 ms).
  Started s;
  CoutCapture console;
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(feedCubic(s.estimator, 0.3, 0.3 + 0.1 * i)) << i;
  EXPECT_EQ(console.str(),
            warnLine("Inputs arrive every 0.100000 seconds: too sparse to join (0.125000 seconds "
                     "on either side of a sample must hold two inputs); nothing is estimated "
                     "until they come at least every 0.062500 seconds"));
}

// The gate lets everything through in its first second: with a noisy gyro every instant from the
// fourth input (the quintic needs three on either side) to 100 ms before the newest is fed, once.
TEST(InertiaEstimatorJoin, NoisyGyroFeedsTheWideFitOfEveryJudgedInstantAndSaysSoOnce) {
  EstimatorConfig c = handMotionConfig();
  c.noiseAngularVel = {1e-4, 5e-5, 1e-4};
  c.noiseAngularAcc = {0.06, 0.06, 0.06};
  Started s(c);
  sim::Options o = movingPayload(31);
  o.noise.angularVel = 1e-4;
  sim::PayloadSimulator simulator(o);
  CoutCapture console;
  for (int i = 0; i < 900; ++i) feed(s.estimator, simulator.next());
  EXPECT_EQ(s.estimator.sampleCount(), 900u - 103u);
  const std::string line = infoLine(
      "The gyro's noise (angular_vel variance 0.000100 at most) would make the angular "
      "acceleration too noisy for the inertia: the estimate takes it from a fit of degree 5 over "
      "+-0.100000 seconds (angular_acc variance x 0.049896); samples are still judged, and "
      "contact flagged, on the +-0.025000 seconds fit");
  const std::string text = console.str();
  EXPECT_EQ(text.find(line), text.rfind(line));
  EXPECT_NE(text.find(line), std::string::npos) << text;
}

TEST(InertiaEstimatorJoin, RepeatedInputIsDroppedOnBothSides) {
  Started plain, repeated;
  sim::PayloadSimulator simulator(movingPayload(12));
  for (int i = 0; i < 300; ++i) {
    const sim::SimSample sample = simulator.next();
    feed(plain.estimator, sample);
    feed(repeated.estimator, sample);
    // 4 µs later, with other values: the same input again, on the IMU and the wrench side.
    sim::SimSample again = sample;
    again.time += 4e-6;
    for (double& v : again.values) v += 100.0;
    feed(repeated.estimator, again);
  }
  EXPECT_EQ(repeated.estimator.sampleCount(), plain.estimator.sampleCount());
  EXPECT_EIGEN_NEAR(repeated.estimator.getParamsSolution(), plain.estimator.getParamsSolution(),
                    0.0);
  EXPECT_EIGEN_NEAR(repeated.estimator.getParamsVariance(), plain.estimator.getParamsVariance(),
                    0.0);
}

TEST(InertiaEstimatorJoin, InitForgetsThePreviousRun) {
  Started s;
  InertiaEstimator& e = s.estimator;
  for (int i = 0; i < 40; ++i) feedCubic(e, 3.0, 3.0 + 0.001 * i);
  ASSERT_EQ(e.sampleCount(), 13u);
  {
    CoutCapture quiet;
    e.init();
  }
  EXPECT_FALSE(e.hasStoredSample());
  EXPECT_EQ(e.sampleCount(), 0u);
  // The histories are empty: an earlier time is accepted and the warm-up starts again.
  for (int i = 0; i < 27; ++i) EXPECT_FALSE(feedCubic(e, 0.5, 0.5 + 0.001 * i));
  EXPECT_EQ(e.newestSampleTime(), 0.526);
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

TEST(InertiaEstimatorConvergence, NanStandardDeviationDoesNotBlockButAnImpossibleBodyDoes) {
  // A zero prior mass makes the centre of mass 0/0: its variances are NaN and pass, but a body
  // without mass cannot exist.
  EstimatorConfig c = withThresholds(1.5, 1e-12, 1.5, 1.5);
  c.priorMass = 0.0;
  Started s(c);
  const Vector16 v = s.estimator.getParamsVariance();
  ASSERT_TRUE(std::isnan(v[1]) && std::isnan(v[2]) && std::isnan(v[3]));
  EXPECT_FALSE(s.estimator.isConverged());

  // Every standard deviation is 1 (below the thresholds of 1.5): the verdict is the body's.
  // Principal moments must be ≥ −1.5 and satisfy the triangle inequalities within 1.5 kg·m².
  struct Body {
    double mass;
    std::array<double, 6> inertia;
    bool converged;
  };
  for (const Body& b :
       {Body{1.0, {1.0, 0, 0, 1.0, 0, 1.0}, true}, Body{-1.0, {1.0, 0, 0, 1.0, 0, 1.0}, false},
        Body{1.0, {2.0, 0, 0, 2.0, 0, 5.4}, true},  // 4 ≥ 5.4 − 1.5
        Body{1.0, {1.0, 0, 0, 1.0, 0, 5.0}, false}, Body{1.0, {-1.4, 0, 0, 3.0, 0, 3.0}, true},
        Body{1.0, {-1.6, 0, 0, 3.0, 0, 3.0}, false}}) {
    EstimatorConfig body = withThresholds(1.5, 1.5, 1.5, 1.5);
    body.priorMass = b.mass;
    body.priorInertia = b.inertia;
    EXPECT_EQ(Started(body).estimator.isConverged(), b.converged) << b.mass << " " << b.inertia[5];
  }
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
