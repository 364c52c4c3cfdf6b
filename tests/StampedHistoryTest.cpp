#include "StampedHistory.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zelto {
namespace {

StampedHistory historyOf(std::initializer_list<std::pair<double, double>> items) {
  StampedHistory h;
  for (const auto& [t, x] : items) {
    h.push({t, Eigen::Vector3d(x, -x, 2 * x)});
  }
  return h;
}

TEST(StampedHistory, SampleAtInterpolatesAndClamps) {
  // t:     0.0   0.1   0.2
  // x:     0     1     2
  StampedHistory h = historyOf({{0.0, 0.0}, {0.1, 1.0}, {0.2, 2.0}});
  StampedVector3 s = h.sampleAt(0.15);
  EXPECT_DOUBLE_EQ(s.time, 0.15);
  EXPECT_NEAR(s.value.x(), 1.5, 1e-12);
  EXPECT_NEAR(s.value.y(), -1.5, 1e-12);
  EXPECT_NEAR(s.value.z(), 3.0, 1e-12);

  s = h.sampleAt(-1.0);  // before the oldest: oldest value, query time
  EXPECT_EQ(s.time, -1.0);
  EXPECT_EQ(s.value.x(), 0.0);
  s = h.sampleAt(5.0);  // after the newest: newest value, query time
  EXPECT_EQ(s.time, 5.0);
  EXPECT_EQ(s.value.x(), 2.0);
  s = h.sampleAt(0.2);  // exactly the newest time
  EXPECT_EQ(s.time, 0.2);
  EXPECT_EQ(s.value.x(), 2.0);
  s = h.sampleAt(0.1);  // exactly an inner sample
  EXPECT_NEAR(s.value.x(), 1.0, 1e-15);
}

TEST(StampedHistory, SingleItemAndEqualTimes) {
  StampedHistory single = historyOf({{3.0, 7.0}});
  const StampedVector3 s = single.sampleAt(-2.0);
  EXPECT_EQ(s.time, -2.0);
  EXPECT_EQ(s.value.x(), 7.0);

  // Two items with the same time bracket the query: the earlier one comes back as it is,
  // with its own time.
  StampedHistory tie = historyOf({{0.0, 0.0}, {1.0, 1.0}, {1.0, 5.0}, {2.0, 2.0}});
  const StampedVector3 t = tie.sampleAt(1.0);
  EXPECT_EQ(t.time, 1.0);
  EXPECT_EQ(t.value.x(), 5.0);
}

TEST(StampedHistory, SampleAtLowersTheUsedMark) {
  StampedHistory h = historyOf({{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}});
  h.prune();  // nothing read yet: mark 0 keeps everything, then points at the newest
  ASSERT_EQ(h.size(), 6u);
  EXPECT_EQ(h.lowestUsedIndex(), 5u);
  h.sampleAt(2.5);  // interpolates between items 2 and 3
  EXPECT_EQ(h.lowestUsedIndex(), 2u);
  h.sampleAt(100.0);  // clamped reads do not touch the mark
  h.sampleAt(-100.0);
  EXPECT_EQ(h.lowestUsedIndex(), 2u);
}

TEST(StampedHistory, AtThrowsAfterLoweringTheMark) {
  StampedHistory h = historyOf({{0, 0}, {1, 1}});
  h.prune();
  EXPECT_EQ(h.lowestUsedIndex(), 1u);
  EXPECT_EQ(h.at(0).value.x(), 0.0);
  EXPECT_EQ(h.lowestUsedIndex(), 0u);
  try {
    h.at(2);
    FAIL() << "expected std::out_of_range";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid vector subscript");
  }
}

TEST(StampedHistory, PruneKeepsFiveBeforeTheLowestUsedIndex) {
  // Ten items, pruned once so the mark sits at the newest (9).
  StampedHistory h;
  for (int i = 0; i < 10; ++i) h.push({double(i), Eigen::Vector3d::Constant(i)});
  h.prune();
  ASSERT_EQ(h.size(), 10u);
  ASSERT_EQ(h.lowestUsedIndex(), 9u);

  // at(3): 3 − 5 < 0 drops nothing; the mark moves to the newest item.
  h.at(3);
  EXPECT_EQ(h.lowestUsedIndex(), 3u);
  h.prune();
  EXPECT_EQ(h.size(), 10u);
  EXPECT_EQ(h.lowestUsedIndex(), 9u);

  // With the mark at 8, the three oldest items go and the mark becomes 6.
  h.at(8);
  h.prune();
  ASSERT_EQ(h.size(), 7u);
  EXPECT_EQ(h.lowestUsedIndex(), 6u);
  EXPECT_EQ(h.front().time, 3.0);
  EXPECT_EQ(h.back().time, 9.0);

  // Nothing read since: nothing happens.
  h.prune();
  EXPECT_EQ(h.size(), 7u);
  EXPECT_EQ(h.lowestUsedIndex(), 6u);
}

TEST(StampedHistory, ClearResetsAndEmptyPruneIsHarmless) {
  StampedHistory h = historyOf({{0, 0}, {1, 1}});
  h.prune();
  h.clear();
  EXPECT_TRUE(h.empty());
  EXPECT_EQ(h.lowestUsedIndex(), 0u);
  h.prune();
  EXPECT_TRUE(h.empty());
  // The first prune after clear drops nothing.
  for (int i = 0; i < 20; ++i) h.push({double(i), Eigen::Vector3d::Zero()});
  h.prune();
  EXPECT_EQ(h.size(), 20u);
  EXPECT_EQ(h.lowestUsedIndex(), 19u);
}

TEST(StampedHistory, SteadyStreamStaysBoundedAndOrdered) {
  // A reader that always interpolates just before the newest time keeps seven items: the
  // newest, the one before it (used) and five more. Items must stay exactly those, in order,
  // however the history stores them.
  StampedHistory h;
  for (int i = 0; i < 10000; ++i) {
    h.push({i * 0.001, Eigen::Vector3d::Constant(i)});
    if (h.size() >= 2) {
      const StampedVector3 s = h.sampleAt(i * 0.001 - 0.0005);
      ASSERT_NEAR(s.value.x(), i - 0.5, 1e-9);
    }
    h.prune();
    ASSERT_LE(h.size(), 7u) << "after " << i << " pushes";
    if (i >= 7) {
      ASSERT_EQ(h.size(), 7u);
      ASSERT_EQ(h.front().value.x(), i - 6.0);
      ASSERT_EQ(h.back().value.x(), double(i));
      ASSERT_EQ(h.lowestUsedIndex(), 6u);
    }
  }
}

}  // namespace
}  // namespace zelto
