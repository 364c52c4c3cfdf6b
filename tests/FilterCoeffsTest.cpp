#include "FilterCoeffs.h"

#include <gtest/gtest.h>

#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;

FilterCoeffs smoothing() {
  FilterCoeffs f;
  f.configure("filter", "coeffs", "smoothing", "imu", false);
  return f;
}

FilterCoeffs differentiation() {
  FilterCoeffs f;
  f.configure("filter", "coeffs", "differentiation", "ang_vel", true);
  return f;
}

TEST(FilterCoeffs, SmoothingReturnsTheNewestSampleExactly) {
  FilterCoeffs f = smoothing();
  EXPECT_EQ(f.getNumCoeffs(), 1u);
  StampedHistory h;
  h.push({1.0, Eigen::Vector3d(9, 9, 9)});
  h.push({2.0, Eigen::Vector3d(1, 2, 3)});
  h.prune();  // moves the used mark to the newest item
  CoutCapture out;
  const StampedVector3 s = f.apply(h);
  EXPECT_EQ(s.time, 2.0);
  EXPECT_EQ(s.value, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(h.lowestUsedIndex(), 1u);  // it read the newest item through at()
}

TEST(FilterCoeffs, DifferentiationIsTheLeastSquaresSlope) {
  FilterCoeffs f = differentiation();
  EXPECT_EQ(f.getNumCoeffs(), 5u);
  StampedHistory h;
  h.push({-1.0, Eigen::Vector3d(50, 50, 50)});  // older than the five used
  for (int i = 0; i < 5; ++i) {
    h.push({0.01 * i, Eigen::Vector3d(i, 2.0 * i * i, -3.0 * i)});
  }
  h.prune();  // moves the used mark to the newest item
  const StampedVector3 s = f.apply(h);
  EXPECT_DOUBLE_EQ(s.time, 0.02);            // centre of the five samples
  EXPECT_NEAR(s.value.x(), 100.0, 1e-9);     // 1 per 10 ms
  EXPECT_NEAR(s.value.y(), 2 * 400.0, 1e-9); // slope of 2i² fitted over i = 0..4: 8 per step
  EXPECT_NEAR(s.value.z(), -300.0, 1e-9);
  EXPECT_EQ(h.lowestUsedIndex(), 1u);         // the oldest of the five used
}

TEST(FilterCoeffs, TooShortHistoryPrintsNoticeAndReturnsNewest) {
  FilterCoeffs f = differentiation();
  StampedHistory h;
  h.push({0.0, Eigen::Vector3d(1, 1, 1)});
  h.push({0.1, Eigen::Vector3d(2, 2, 2)});
  h.push({0.2, Eigen::Vector3d(3, 4, 5)});
  CoutCapture out;
  const StampedVector3 s = f.apply(h);
  EXPECT_EQ(out.str(),
            "Not enough historic data stored for filtering of size 5, using unfiltered value.\n");
  EXPECT_EQ(s.time, 0.2);
  EXPECT_EQ(s.value, Eigen::Vector3d(3, 4, 5));
}

TEST(FilterCoeffs, BuiltInSetsConfigureSilently) {
  CoutCapture out;
  FilterCoeffs a;
  a.configure("filter", "coeffs", "smoothing", "ft", false);
  FilterCoeffs b = differentiation();
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(a.getNumCoeffs(), 1u);
  EXPECT_EQ(b.getNumCoeffs(), 5u);
}

}  // namespace
}  // namespace zelto
