#include <gtest/gtest.h>

#include "TestUtils.h"
#include "WrenchWindow.h"

namespace zelto {
namespace {

Wrench6 constant(double v) { return Wrench6::Constant(v); }

TEST(WrenchWindow, StartsEmptyWithPowerOfTwoCapacity) {
  WrenchWindow window;
  EXPECT_TRUE(window.empty());
  EXPECT_EQ(window.size(), 0u);
  EXPECT_EQ(window.capacity(), 2048u);
  EXPECT_EQ(WrenchWindow(5).capacity(), 8u);
  EXPECT_EQ(WrenchWindow(0).capacity(), 2u);
}

TEST(WrenchWindow, KeepsOrderAcrossTheWrapAround) {
  WrenchWindow window(4);
  for (int i = 0; i < 11; ++i) {
    window.pushBack(i, constant(i));
    if (window.size() == 3) {
      window.popFront();
    }
  }
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window.capacity(), 4u);  // never full, never grown
  EXPECT_EQ(window.front().time, 9.0);
  EXPECT_EQ(window.back().time, 10.0);
  EXPECT_EQ(window[1].wrench, constant(10));
}

TEST(WrenchWindow, GrowsWhenFullAndKeepsTheEntries) {
  WrenchWindow window(4);
  window.pushBack(0, constant(0));
  window.pushBack(1, constant(1));
  window.popFront();  // the oldest is no longer at slot 0
  for (int i = 2; i < 7; ++i) {
    window.pushBack(i, constant(i));
  }
  EXPECT_EQ(window.capacity(), 8u);
  ASSERT_EQ(window.size(), 6u);
  for (std::size_t i = 0; i < window.size(); ++i) {
    EXPECT_EQ(window[i].time, static_cast<double>(i + 1));
    EXPECT_EQ(window[i].wrench, constant(static_cast<double>(i + 1)));
  }
}

TEST(WrenchWindow, TrimKeepsAnEntryExactlyOneSecondOld) {
  WrenchWindow window;
  window.pushBack(0.0, constant(1));
  window.trimToLastSecond();
  EXPECT_EQ(window.size(), 1u);
  window.pushBack(1.0, constant(2));
  window.trimToLastSecond();
  EXPECT_EQ(window.size(), 2u);
  window.pushBack(1.001, constant(3));
  window.trimToLastSecond();
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window.front().time, 1.0);
}

TEST(WrenchWindow, TrimNeverLeavesTheWindowEmpty) {
  WrenchWindow window;
  window.pushBack(0.0, constant(1));
  window.pushBack(5.0, constant(2));
  window.pushBack(12.0, constant(3));
  window.trimToLastSecond();
  ASSERT_EQ(window.size(), 1u);
  EXPECT_EQ(window.front().time, 12.0);
}

TEST(WrenchWindow, SufficientFromHalfASecondWithTwoEntries) {
  WrenchWindow window;
  EXPECT_FALSE(window.isSufficientForTare());
  window.pushBack(0.0, constant(0));
  EXPECT_FALSE(window.isSufficientForTare());
  window.pushBack(0.499, constant(0));
  EXPECT_FALSE(window.isSufficientForTare());

  WrenchWindow enough;
  enough.pushBack(0.0, constant(0));
  enough.pushBack(0.5, constant(0));
  EXPECT_TRUE(enough.isSufficientForTare());
}

TEST(WrenchWindow, MeanOfAllEntries) {
  WrenchWindow window(2);
  Wrench6 a;
  a << 1, 2, 3, 4, 5, 6;
  Wrench6 b;
  b << -1, 0, 3, 8, 5.5, -6;
  Wrench6 c;
  c << 3, 1, 0, 0, 5, 3;
  window.pushBack(0.0, a);
  window.pushBack(0.1, b);
  window.pushBack(0.2, c);
  Wrench6 expected;
  expected << 1, 1, 2, 4, 15.5 / 3, 1;
  EXPECT_EIGEN_NEAR(window.mean(), expected, 1e-15);
}

}  // namespace
}  // namespace zelto
