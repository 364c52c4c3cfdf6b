// measureRecordingDelay on 13-column recordings whose IMU columns lag the wrench by a known
// delay, on a still recording that cannot tell it, and the delay in words.

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ImuDelay.h"
#include "NoiseEstimate.h"
#include "PayloadSimulator.h"

namespace zelto::tool {
namespace {

struct Columns {
  std::vector<double> times;
  std::vector<std::array<double, 12>> values;
};

// 1 kHz rows of hand motion whose IMU values are the truth `delay` before the row's time: the
// IMU value stamped t belongs with the wrench of t − delay. A still recording when `still`; a
// 40 Hz vibration of the structure along the sensor's x axis of `vibration` m/s² on top; the
// accelerometer's x axis with white noise of `noisyAxis` m/s² rms instead of its others'.
Columns recording(double delay, bool still, std::uint64_t seed, double vibration = 0.0,
                  double noisyAxis = 0.0) {
  sim::Options o;
  o.payload = sim::Payload::fromCentroidal(0.93, {0.01, -0.02, 0.06},
                                           {2e-3, 1e-4, 0.0, 2.5e-3, 0.0, 1.5e-3}, {1.5, -0.8, 2.0},
                                           {0.05, 0.02, -0.03});
  o.seed = seed;
  const sim::PayloadSimulator simulator(o);
  sim::Random noise(seed, 9);
  const double sigma[4] = {0.05, 2e-3, 0.03, 2e-3};
  Columns c;
  for (int k = 0; k < 20000; ++k) {
    const double t = 0.1 + k * 1e-3;
    const sim::TrueState w = simulator.stateAt(still ? 0.0 : t);
    const sim::TrueState i = simulator.stateAt(still ? 0.0 : t - delay);
    const auto shake = [&](double time) {
      return Eigen::Vector3d(vibration * std::sin(2.0 * 3.14159265358979323846 * 40.0 * time), 0.0,
                             0.0);
    };
    const Eigen::Vector3d h = o.payload.mass * o.payload.com;
    const Eigen::Vector3d force = w.force - o.payload.mass * shake(t);
    const Eigen::Vector3d torque = w.torque + shake(t).cross(h);
    const Eigen::Vector3d acc = i.linearAcceleration + shake(t - delay);
    const Eigen::Vector3d* q[4] = {&force, &torque, &acc, &i.angularVelocity};
    std::array<double, 12> v{};
    for (std::size_t j = 0; j < 12; ++j) {
      const double sd = j == 6 && noisyAxis > 0.0 ? noisyAxis : sigma[j / 3];
      v[j] = (*q[j / 3])[static_cast<Eigen::Index>(j % 3)] + sd * noise.gaussian();
    }
    c.times.push_back(t);
    c.values.push_back(v);
  }
  return c;
}

TEST(ImuDelay, FindsASubSampleDelayOnOneClock) {
  for (const double delay : {0.0065, -0.0102}) {
    SCOPED_TRACE("delay " + std::to_string(delay) + " s, seed 3");
    const Columns c = recording(delay, false, 3);
    const DelayEstimate e = measureRecordingDelay(c.times, c.values);
    std::printf("one clock, delay %+.1f ms: found %+.3f ms, uncertainty %.3f ms\n", 1e3 * delay,
                1e3 * e.delay, 1e3 * e.uncertainty);
    EXPECT_NEAR(e.delay, delay, 5e-4);
    EXPECT_LT(e.uncertainty, 5e-4);
    EXPECT_NEAR(e.halves[0], delay, 1e-3);
    EXPECT_NEAR(e.halves[1], delay, 1e-3);
    EXPECT_FALSE(e.flat || e.ambiguous || e.atEdge);
    EXPECT_TRUE(e.warnings.empty());
    EXPECT_EQ(e.shifts.size(), 61u);  // every whole millisecond within ±30 ms
    EXPECT_LT(e.forceRmsAtDelay, e.forceRmsAtZero);
  }
}

TEST(ImuDelay, StillRecordingIsFlat) {
  const Columns c = recording(0.0, true, 4);
  const DelayEstimate e = measureRecordingDelay(c.times, c.values);
  EXPECT_TRUE(e.flat);
  EXPECT_NEAR(e.uncertainty, 0.030, 1e-9);
  ASSERT_EQ(e.warnings.size(), 1u);
  EXPECT_EQ(e.warnings[0],
            "the fit changes by less than its noise over ±30 ms: the motion does not tell the "
            "delay (move the payload briskly, or give the delay by hand)");
  EXPECT_EQ(configurationObjection(e),
            "the fit is flat over ±30 ms: the motion does not tell the delay");
}

TEST(ImuDelay, VibrationIsFilteredOutOrMakesTheMinimumAmbiguous) {
  // Unfiltered, the fit repeats its minimum every period of the vibration, nearly as deep; the
  // default low-pass removes the vibration from both sides of the fit.
  const Columns c = recording(0.0, false, 5, 2.0);
  DelaySearch unfiltered;
  unfiltered.lowPass = 0.0;
  const DelayEstimate e = measureRecordingDelay(c.times, c.values, unfiltered);
  std::printf("40 Hz vibration, seed 5: found %+.3f ms, other minimum %+.1f ms\n", 1e3 * e.delay,
              1e3 * e.otherMinimum);
  EXPECT_NEAR(e.delay, 0.0, 5e-4);
  EXPECT_TRUE(e.ambiguous);
  EXPECT_NEAR(std::abs(e.otherMinimum), 0.025, 1.5e-3);
  ASSERT_EQ(e.warnings.size(), 1u);
  EXPECT_EQ(e.warnings[0],
            "another minimum of the fit's residual, at -25.00 ms, comes close to the best: the "
            "delay is not unique (a vibration of the structure?)");
  const DelayEstimate filtered = measureRecordingDelay(c.times, c.values);
  EXPECT_NEAR(filtered.delay, 0.0, 5e-4);
  EXPECT_TRUE(filtered.warnings.empty());
}

TEST(ImuDelay, AccelerometerNoiseWeighsTheRows) {
  // An accelerometer axis 25 times noisier than the others dominates the rows' noise through
  // the mass and the first moments. Weighted by the wrench's noise alone, that axis drives the
  // fit; weighted by all of the rows' noise, the quiet axes tell the delay.
  double weighted = 0.0, unweighted = 0.0;
  for (std::uint64_t seed = 11; seed <= 14; ++seed) {
    const Columns c = recording(0.0065, false, seed, 0.0, 0.75);
    DelayInput in;
    in.wrenchTimes = c.times;
    for (const std::array<double, 12>& v : c.values) {
      in.wrench.push_back({v[0], v[1], v[2], v[3], v[4], v[5]});
      in.specificForce.values.push_back({v[6], v[7], v[8]});
      in.angularVelocity.values.push_back({v[9], v[10], v[11]});
    }
    in.specificForce.times = in.angularVelocity.times = c.times;
    in.wrenchVariance = {0.05 * 0.05, 0.05 * 0.05, 0.05 * 0.05, 4e-6, 4e-6, 4e-6};
    const DelayEstimate plain = measureImuDelay(in);
    in.specificForceVariance = {0.75 * 0.75, 0.03 * 0.03, 0.03 * 0.03};
    const DelayEstimate e = measureImuDelay(in);
    EXPECT_LT(std::abs(e.delay - 0.0065), 3.0 * e.uncertainty) << "seed " << seed;
    weighted += std::pow(e.delay - 0.0065, 2);
    unweighted += std::pow(plain.delay - 0.0065, 2);
  }
  // The quiet axes are 25 times less noisy: a third of the scatter is a loose bound.
  EXPECT_LT(weighted, unweighted / 9.0);
}

TEST(ImuDelay, DelayInWordsAndDerivativeNoise) {
  EXPECT_EQ(describeDelay(0.0065),
            "delay +6.50 ms: the IMU's time stamps lag the wrench's (each IMU value belongs "
            "with the wrench 6.50 ms before its stamp)");
  EXPECT_EQ(describeDelay(-0.01, "robot"),
            "delay -10.00 ms: the robot's time stamps lead the wrench's (each robot value "
            "belongs with the wrench 10.00 ms after its stamp)");
  EXPECT_EQ(describeDelay(-1e-6), "delay 0.00 ms: the IMU's time stamps and the wrench's agree");
  // The estimator's angular acceleration is the cubic's first derivative over ±25 ms.
  for (const double rate : {100.0, 698.0, 1000.0}) {
    EXPECT_NEAR(derivativeNoiseFactor(rate, 0.025, 3, 1) / noiseFactorOfAngularAcc(rate), 1.0,
                1e-9);
  }
}

}  // namespace
}  // namespace zelto::tool
