// measureNoise on simulated recordings of known white noise, still and moving, and on rows
// damaged the ways real recordings are: repeated, held, lost, jittered and clipped samples, and
// channels resampled from a lower rate.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "NoiseEstimate.h"
#include "PayloadSimulator.h"
#include "SensorRecording.h"

namespace zelto::tool {
namespace {

using Rows = sim::PayloadSimulator::Columns;

Rows simulate(const sim::Noise& noise, double rate, bool still, double intensity, double seconds,
              std::uint64_t seed) {
  sim::Options o;
  o.noise = noise;
  o.motion.rate = rate;
  o.motion.staticPoses = still;
  o.motion.intensity = intensity;
  o.seed = seed;
  return sim::PayloadSimulator(o).generateColumns(seconds);
}

TEST(NoiseEstimate, MeasuresKnownVariancesStillAndMoving) {
  // Mixed levels: each quantity ten times above or below the typical sensor's.
  const sim::Noise noise{0.1, 1e-6, 1e-2, 1e-7};
  const double truth[4] = {noise.force, noise.torque, noise.linearAcc, noise.angularVel};
  struct Case {
    double rate, seconds;
    bool still;
    double intensity;
  };
  // 100 Hz at twice the hand pace is where motion would leak into a lower-order difference.
  for (const Case& c : {Case{100.0, 30.0, false, 2.0}, Case{1000.0, 10.0, false, 1.0},
                        Case{1000.0, 10.0, true, 1.0}}) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + (c.still ? "still" : "moving"));
    const Rows r = simulate(noise, c.rate, c.still, c.intensity, c.seconds, 5);
    const NoiseEstimate e = measureNoise(r.times, r.values);
    ASSERT_EQ(e.samples, r.times.size());
    EXPECT_NEAR(e.medianRate, c.rate, 1e-6 * c.rate);
    // Measured scatter of the variances: 3.4/√rows (1σ) over 64 recordings; 4.5σ here.
    const double tolerance = 4.5 * 3.4 / std::sqrt(static_cast<double>(e.samples));
    for (std::size_t ch = 0; ch < 12; ++ch) {
      EXPECT_NEAR(e.variance[ch] / truth[ch / 3], 1.0, tolerance) << "channel " << ch;
      EXPECT_FALSE(e.resampled[ch]) << "channel " << ch << ": " << e.neighbourRatio[ch];
    }
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_DOUBLE_EQ(e.angularAccVariance[j], e.variance[9 + j] * e.angularAccFactor);
    }
    EXPECT_TRUE(noiseTroubles(e).empty());
  }
  // The estimator's derivative factors at regular rates.
  const double rates[] = {20, 50, 80, 100, 200, 500, 1000, 2000, 4000};
  const double factors[] = {361.1, 2257, 5778, 9028, 2415, 1216, 567, 291, 148};
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_NEAR(noiseFactorOfAngularAcc(rates[i]), factors[i], 0.5) << rates[i] << " Hz";
  }
  EXPECT_TRUE(std::isinf(noiseFactorOfAngularAcc(15.9)));
}

TEST(NoiseEstimate, ReportsRepeatsHeldRowsGapsJitterAndClipping) {
  const Rows clean = simulate({0.01, 1e-5, 1e-3, 1e-5}, 1000.0, false, 1.0, 2.0, 3);
  // rows:  … 9 | 10 10' | … | 20 = 19's values | … | 30 lost | … every 50th time +0.3 ms;
  //        fx clamped at the value of row 100.
  Rows r;
  std::size_t atClamp = 0;  // of the rows measured, the repeat left out
  const double clamp = clean.values[100][0];
  for (std::size_t k = 0; k < clean.times.size(); ++k) {
    if (k == 30) continue;
    std::array<double, 12> v = k == 20 ? clean.values[19] : clean.values[k];
    v[0] = std::min(v[0], clamp);
    r.times.push_back(clean.times[k] + (k % 50 == 25 ? 3e-4 : 0.0));
    r.values.push_back(v);
    atClamp += v[0] == clamp;
    if (k == 10) {
      r.times.push_back(clean.times[k] + 5e-6);
      r.values.push_back(v);
    }
  }
  const NoiseEstimate e = measureNoise(r.times, r.values);
  EXPECT_EQ(e.samples, clean.times.size() - 1);
  EXPECT_EQ(e.repeatedTimes, 1u);
  EXPECT_EQ(e.heldRows, 1u);
  EXPECT_EQ(e.gaps, 1u);
  EXPECT_EQ(e.irregularIntervals, 2u * 40 + 1);  // both intervals of 40 shifted rows, the gap
  EXPECT_EQ(e.clipped[0], atClamp);
  EXPECT_EQ(e.clipped[1], 0u);
  const std::vector<std::string> expected = {
      "1 rows repeat the previous time stamp (left out, as the libraries do)",
      "1 rows have a new time stamp but the previous row's values (a stale read-out?)",
      "rate jitter: 81 of 1999 intervals are more than 10 % off the median 1 ms",
      "1 gaps (intervals above 1.5 times the median), the longest 2 ms",
      "fx: " + std::to_string(atClamp) + " rows at its smallest or largest value (clipped?)",
      // A fifth of its rows held at the clamp.
      resampledExplanation("fx")};
  EXPECT_EQ(noiseTroubles(e), expected);
}

TEST(NoiseEstimate, FlagsChannelsResampledFromALowerRate) {
  // 20 s at 698 Hz of one motion: the force as sampled, the other channels taken from 254 Hz
  // samples: torque band-limited (Hann-windowed sinc over ±20 knots), accelerometer linear
  // between the knots, gyro held.
  const sim::Noise noise{0.01, 1e-5, 1e-3, 1e-6};
  const Rows fast = simulate(noise, 698.0, false, 1.0, 20.0, 9);
  const Rows slow = simulate(noise, 254.0, false, 1.0, 21.0, 9);
  const double pi = 3.14159265358979323846;
  Rows r = fast;
  for (std::size_t k = 0; k < fast.times.size(); ++k) {
    const double u = fast.times[k] * 254.0;
    const std::size_t i = static_cast<std::size_t>(u);
    const double f = u - static_cast<double>(i);
    for (std::size_t c = 3; c < 12; ++c) {
      double v = 0.0;
      if (c < 6) {
        for (std::size_t j = i > 20 ? i - 20 : 0; j <= i + 20; ++j) {
          const double z = u - static_cast<double>(j);
          const double sinc = z == 0.0 ? 1.0 : std::sin(pi * z) / (pi * z);
          v += slow.values[j][c] * sinc * (0.5 + 0.5 * std::cos(pi * z / 21.0));
        }
      } else {
        v = c < 9 ? (1.0 - f) * slow.values[i][c] + f * slow.values[i + 1][c] : slow.values[i][c];
      }
      r.values[k][c] = v;
    }
  }
  const NoiseEstimate e = measureNoise(r.times, r.values);
  for (std::size_t c = 0; c < 12; ++c) {
    EXPECT_EQ(e.resampled[c], c >= 3) << "channel " << c << ": " << e.neighbourRatio[c];
  }
  // A sensor's coloured noise at its own rate is not flagged: the real sensor's wrench at 698 Hz
  // and its accelerometer at 254 Hz, their modes filling the band near half the Nyquist rate.
  const sim::SensorRecording real(sim::Payload{}, sim::Motion{}, 9, 20.0);
  const auto expectNotResampled = [](const auto& rows) {
    for (std::size_t c = 0; c < rows.front().size(); ++c) {
      std::vector<double> values;
      for (const auto& row : rows) values.push_back(row[c]);
      const ChannelNoise n = measureChannelNoise(values);
      EXPECT_FALSE(n.resampled) << "channel " << c << ": " << n.neighbourRatio;
    }
  };
  expectNotResampled(real.wrench().values);
  expectNotResampled(real.accelerometer().values);
  // What the flag warns of: interpolation hides most of the noise from the fourth difference.
  EXPECT_LT(e.variance[6], noise.linearAcc / 100.0);
  EXPECT_EQ(resampledExplanation("ax"),
            "ax: looks resampled from a lower rate (held or interpolated between the knots, or "
            "without noise near the Nyquist frequency): its variance is not its noise");
}

TEST(NoiseEstimate, BlockAndRefusals) {
  NoiseEstimate e;
  for (std::size_t c = 0; c < 12; ++c) e.variance[c] = 1.23456e-3 * (c + 1);
  e.angularAccVariance = {0.0567, 5.0, 1e-9};
  EXPECT_EQ(noiseCovarianceBlock(e, 2),
            "{\n"
            "    \"force\": {\"x\": 0.00123, \"y\": 0.00247, \"z\": 0.0037},\n"
            "    \"torque\": {\"x\": 0.00494, \"y\": 0.00617, \"z\": 0.00741},\n"
            "    \"linear_acc\": {\"x\": 0.00864, \"y\": 0.00988, \"z\": 0.0111},\n"
            "    \"angular_vel\": {\"x\": 0.0123, \"y\": 0.0136, \"z\": 0.0148},\n"
            "    \"angular_acc\": {\"x\": 0.0567, \"y\": 5, \"z\": 1e-09}\n"
            "  }");
  EXPECT_EQ(configuredVariances(e)[14], 1e-9);

  const Rows r = simulate({0.01, 1e-5, 1e-3, 1e-5}, 1000.0, true, 1.0, 0.2, 1);
  const auto refused = [](std::vector<double> t, std::vector<std::array<double, 12>> v) {
    EXPECT_THROW(measureNoise(t, v), std::invalid_argument);
  };
  refused({r.times.begin(), r.times.end() - 1}, r.values);  // lengths differ
  std::vector<double> backwards = r.times;
  backwards[50] = backwards[48];
  refused(backwards, r.values);
  std::vector<std::array<double, 12>> notFinite = r.values;
  notFinite[7][4] = std::numeric_limits<double>::quiet_NaN();
  refused(r.times, notFinite);
  refused({r.times.begin(), r.times.begin() + 99}, {r.values.begin(), r.values.begin() + 99});
  std::vector<double> slow = r.times;
  for (double& t : slow) t *= 1000.0 / 15.9;
  refused(slow, r.values);
}

}  // namespace
}  // namespace zelto::tool
