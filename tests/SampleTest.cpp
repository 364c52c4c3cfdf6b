#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "Sample.h"

namespace zelto {
namespace {

SensorArray withImu(double a0, double a1, double a2, double w0, double w1, double w2) {
  return SensorArray{1, 2, 3, 4, 5, 6, a0, a1, a2, w0, w1, w2};
}

TEST(Sample, ImuPresenceRule) {
  EXPECT_FALSE(hasImuData(withImu(0, 0, 0, 0, 0, 0)));
  // -0.0 is still zero.
  EXPECT_FALSE(hasImuData(withImu(-0.0, 0, 0, 0, 0, -0.0)));
  // Any single non-zero value, however tiny, is data.
  EXPECT_TRUE(hasImuData(withImu(0, 0, 0, 0, 0, 1e-300)));
  EXPECT_TRUE(hasImuData(withImu(0, 0, std::numeric_limits<double>::denorm_min(), 0, 0, 0)));
  // A NaN is present data (it is refused later as non-finite, not as missing).
  EXPECT_TRUE(hasImuData(withImu(0, std::nan(""), 0, 0, 0, 0)));
  // Force and torque do not count.
  SensorArray wrenchOnly{9, 9, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(hasImuData(wrenchOnly));
}

TEST(Sample, MissingImuThrowsExactMessage) {
  try {
    requireImuData(withImu(0, 0, 0, -0.0, 0, 0));
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "IMU data is not available \xE2\x80\x94 make sure the IMU is enabled (Rev K: "
                 "appmode should be 2)");
  }
  EXPECT_NO_THROW(requireImuData(withImu(0, 0, 9.81, 0, 0, 0)));
}

TEST(Sample, FinitenessCoversTimeAndAllTwelveValues) {
  SensorArray good = withImu(0, 0, 9.81, 0.1, 0.2, 0.3);
  EXPECT_TRUE(isFiniteSample(0.5, good));
  EXPECT_FALSE(isFiniteSample(std::nan(""), good));
  EXPECT_FALSE(isFiniteSample(std::numeric_limits<double>::infinity(), good));
  for (std::size_t i = 0; i < good.size(); ++i) {
    SensorArray bad = good;
    bad[i] = (i % 2 == 0) ? std::nan("") : -std::numeric_limits<double>::infinity();
    EXPECT_FALSE(isFiniteSample(0.5, bad)) << "index " << i;
  }
  EXPECT_TRUE(isFiniteSample(0.5, SensorArray{std::numeric_limits<double>::max()}));
  // Finite but beyond any sensor: out of range, whichever the sign and index.
  EXPECT_TRUE(isSampleInRange(SensorArray{1e9, -1e9}));
  EXPECT_FALSE(isSampleInRange(SensorArray{std::numeric_limits<double>::max()}));
  for (std::size_t i = 0; i < good.size(); ++i) {
    SensorArray bad = good;
    bad[i] = (i % 2 == 0) ? 1.0000001e9 : -1e300;
    EXPECT_FALSE(isSampleInRange(bad)) << "index " << i;
  }
}

TEST(Sample, BackwardsTimeTolerance) {
  EXPECT_FALSE(goesBackwards(1.0, 1.0));
  EXPECT_FALSE(goesBackwards(1.0 - 0.5e-5, 1.0));  // a repeat, not a step back
  EXPECT_TRUE(goesBackwards(1.0 - 2e-5, 1.0));
  // Exactly one tolerance back is no repeat (|dt| < tolerance fails), so it must be refused.
  EXPECT_TRUE(goesBackwards(0.0, kRepeatedTimeTolerance));
  EXPECT_FALSE(std::abs(0.0 - kRepeatedTimeTolerance) < kRepeatedTimeTolerance);
  EXPECT_FALSE(goesBackwards(2.0, 1.0));
}

TEST(Sample, SplitStampsFourVectors) {
  const SplitSample s = splitSample(2.5, SensorArray{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(s.force.time, 2.5);
  EXPECT_EQ(s.torque.time, 2.5);
  EXPECT_EQ(s.linearAcceleration.time, 2.5);
  EXPECT_EQ(s.angularVelocity.time, 2.5);
  EXPECT_EQ(s.force.value, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(s.torque.value, Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(s.linearAcceleration.value, Eigen::Vector3d(7, 8, 9));
  EXPECT_EQ(s.angularVelocity.value, Eigen::Vector3d(10, 11, 12));
}

}  // namespace
}  // namespace zelto
