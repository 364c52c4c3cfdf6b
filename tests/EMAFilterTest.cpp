#include "EMAFilter.h"

#include <gtest/gtest.h>

#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;

TEST(EMAFilter, FirstValueGivesZeroThenDerivativeOfTheSmoothedSignal) {
  // t (ms):   0      1      2
  // value:    0      0      1      -> first call seeds, second sees a step of 1.0
  EMAFilter f;
  StampedHistory h;
  h.push({0.000, Eigen::Vector3d::Zero()});
  h.push({0.001, Eigen::Vector3d::Zero()});
  StampedVector3 d = f.apply(h);
  EXPECT_EQ(d.time, 0.001);
  EXPECT_EQ(d.value, Eigen::Vector3d::Zero());

  h.push({0.002, Eigen::Vector3d(1.0, -2.0, 0.0)});
  d = f.apply(h);
  EXPECT_EQ(d.time, 0.002);
  // derivative = (x − smoothed) / (dt + τ) = 1 / 0.101
  EXPECT_NEAR(d.value.x(), 1.0 / 0.101, 1e-9);
  EXPECT_NEAR(d.value.y(), -2.0 / 0.101, 1e-9);
  EXPECT_EQ(d.value.z(), 0.0);

  // A third step: the smoothed value is now 1/101 of the way to the input.
  h.push({0.003, Eigen::Vector3d(1.0, -2.0, 0.0)});
  d = f.apply(h);
  const double smoothed = 1.0 / 101.0;
  EXPECT_NEAR(d.value.x(), (1.0 - smoothed) / 0.101, 1e-9);
}

TEST(EMAFilter, FollowsARampWithTheExpectedLag) {
  // A ramp of slope 2 per second: after many time constants the derivative is 2.
  EMAFilter f;
  StampedHistory h;
  StampedVector3 d;
  for (int i = 0; i <= 3000; ++i) {
    h.push({i * 0.001, Eigen::Vector3d::Constant(2.0 * i * 0.001)});
    if (h.size() >= EMAFilter::getMinSamples()) d = f.apply(h);
  }
  EXPECT_NEAR(d.value.x(), 2.0, 1e-6);
}

TEST(EMAFilter, NoticesForShortHistoryAndNonPositiveStep) {
  EMAFilter f;
  StampedHistory h;
  h.push({0.5, Eigen::Vector3d(1, 1, 1)});
  CoutCapture out;
  StampedVector3 d = f.apply(h);
  EXPECT_EQ(d.time, 0.5);
  EXPECT_EQ(d.value, Eigen::Vector3d::Zero());
  EXPECT_EQ(out.str(), "EMAFilter: Not enough data (need at least 2 samples)\n");

  out.reset();
  h.push({0.5, Eigen::Vector3d(2, 2, 2)});
  d = f.apply(h);
  EXPECT_EQ(d.value, Eigen::Vector3d::Zero());
  EXPECT_EQ(out.str(), "EMAFilter: Invalid dt=0, returning zero\n");

  // The state was untouched by both: the next good pair seeds the filter (zero output).
  out.reset();
  h.push({0.6, Eigen::Vector3d(3, 3, 3)});
  d = f.apply(h);
  EXPECT_EQ(d.value, Eigen::Vector3d::Zero());
  EXPECT_EQ(out.str(), "");
}

TEST(EMAFilter, TimeConstantSetsTheGain) {
  EMAFilter f;
  f.setTimeConstant(0.009);
  StampedHistory h;
  h.push({0.0, Eigen::Vector3d::Zero()});
  h.push({0.001, Eigen::Vector3d::Zero()});
  f.apply(h);
  h.push({0.002, Eigen::Vector3d::Constant(1.0)});
  EXPECT_NEAR(f.apply(h).value.x(), 1.0 / 0.010, 1e-9);
}

}  // namespace
}  // namespace zelto
