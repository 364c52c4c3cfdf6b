#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "PayloadSimulator.h"
#include "SampleJoiner.h"

namespace zelto {
namespace {

// The plain dense fit, by pivoted QR: the slope at input c of the least-squares quintic through
// the inputs within ±0.1 s (edges' slack included) on their own stamps, or (even, where 100
// inputs lie on either side) through the 201 inputs about c placed at their mean spacing.
Eigen::Vector3d denseSlope(const std::vector<StampedVector3>& in, std::size_t c, bool even) {
  even = even && c >= 100 && c + 100 < in.size();
  const double spacing = even ? (in[c + 100].time - in[c - 100].time) / 200.0 : 0.0;
  std::vector<std::size_t> used;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (even ? i + 100 >= c && i <= c + 100
             : std::abs(in[i].time - in[c].time) <= 0.1 + DerivativeWindow::kTolerance) {
      used.push_back(i);
    }
  }
  Eigen::MatrixXd x(used.size(), 6), y(used.size(), 3);
  for (Eigen::Index r = 0; r < x.rows(); ++r) {
    const std::size_t i = used[static_cast<std::size_t>(r)];
    const double d = even ? (static_cast<double>(i) - c) * spacing : in[i].time - in[c].time;
    for (int j = 0; j < 6; ++j) x(r, j) = std::pow(d, j);
    y.row(r) = in[i].value.transpose();
  }
  return x.colPivHouseholderQr().solve(y).row(1).transpose();
}

// A gyro of variance 1e-4 at 1 kHz: the fed samples come from the quintic over ±100 ms, for
// the instants judged before, once their wide window has closed; their derivative is the dense
// fit's on the stamps, or on even places at the window's mean spacing where every interval lies
// within half a period of the median (precomputed weights): even stamps, stamps jittered by
// ±0.1 period (as even), one input missing and ±0.45 period (on the stamps).
TEST(SampleJoiner, WideFitAgreesWithTheDenseFitOnEvenGappedAndJitteredInputs) {
  struct Stamps {
    double jitter;  // periods
    bool gap, even;
  };
  for (const Stamps stamps : {Stamps{0.0, false, true}, Stamps{0.1, false, true},
                              Stamps{0.0, true, false}, Stamps{0.45, false, false}}) {
    SCOPED_TRACE(std::to_string(stamps.jitter) + (stamps.gap ? " gap" : ""));
    SampleJoiner joiner(0.0, 1e-4);
    sim::Random random(7, stamps.gap ? 1 : 2);
    std::vector<StampedVector3> inputs;
    double worst = 0.0;
    int judged = 0, fed = 0;
    for (int i = 0; i < 600; ++i) {
      if (stamps.gap && i == 350) continue;
      const double t = 0.001 * (i + stamps.jitter * random.uniform(-1.0, 1.0));
      const Eigen::Vector3d omega(std::sin(3.0 * t) + 0.01 * random.gaussian(),
                                  std::cos(2.0 * t) + 0.01 * random.gaussian(), 0.01 * t * t);
      inputs.push_back({t, omega});
      const JoinedSamples j = joiner.join(SplitSample{
          {t, Eigen::Vector3d(t, 0, 0)}, {t, Eigen::Vector3d::Zero()}, {t, omega}, {t, omega}});
      judged += j.judged ? 1 : 0;
      if (!j.fed) continue;
      ++fed;
      EXPECT_LE(j.fed->time, t - 0.1 + 1e-5);
      EXPECT_GE(j.fed->time, t - 0.1 - 0.002);
      EXPECT_DOUBLE_EQ(j.fed->force.x(), j.fed->time);
      const auto c = std::find_if(inputs.begin(), inputs.end(),
                                  [&](const StampedVector3& s) { return s.time == j.fed->time; });
      const Eigen::Vector3d dense =
          denseSlope(inputs, static_cast<std::size_t>(c - inputs.begin()), stamps.even);
      worst = std::max(worst, (j.fed->angularAcceleration - dense).cwiseAbs().maxCoeff());
    }
    ASSERT_TRUE(joiner.widened());
    EXPECT_EQ(joiner.fit().degree, 5);
    // Every judged instant gets its twin once the wide window has closed (75 inputs later),
    // but the first, which lacks a third input before it.
    EXPECT_GE(fed, judged - 80);
    EXPECT_LE(worst, 1e-9);
  }
}

}  // namespace
}  // namespace zelto
