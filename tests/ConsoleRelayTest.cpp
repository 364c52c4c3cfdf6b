#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ConsoleRelay.h"

namespace zelto::tool {
namespace {

TEST(ConsoleRelay, PassesOnlyWholeLinesOnAndKeepsThemInTheTranscript) {
  std::ostringstream target;
  {
    ConsoleRelay relay(target, nullptr);
    // A line written piece by piece and flushed in the middle: nothing goes out before its end.
    target << "[zlt"
           << "_INFO] " << std::flush;
    EXPECT_EQ(target.str(), "");
    target << "Estimator initialized" << std::endl << "second ";
    EXPECT_EQ(target.str(), "[zlt_INFO] Estimator initialized\n");
    EXPECT_EQ(relay.transcript(), "[zlt_INFO] Estimator initialized\n");
  }
  // The relay has put the original buffer back and passed the unfinished line on.
  EXPECT_EQ(target.str(), "[zlt_INFO] Estimator initialized\nsecond ");
}

TEST(ConsoleRelay, ForwardedLinesReachTheOriginalBufferInOrder) {
  std::ostringstream target;
  std::stringbuf* original = target.rdbuf();
  ConsoleRelay relay(target, nullptr);
  target << "one\ntwo\nthr";
  EXPECT_EQ(original->str(), "one\ntwo\n");
  target << "ee\n";
  EXPECT_EQ(original->str(), "one\ntwo\nthree\n");
}

TEST(ConsoleRelay, DivertedTextIsKeptApartAndNotShown) {
  std::ostringstream target;
  std::stringbuf* original = target.rdbuf();
  ConsoleRelay relay(target, nullptr);
  target << "shown\n";
  relay.setMode(ConsoleRelay::Mode::Divert);
  target << "kept for the tool\n";
  EXPECT_EQ(original->str(), "shown\n");
  EXPECT_EQ(relay.diverted(), "kept for the tool\n");
  EXPECT_EQ(relay.transcript(), "shown\n");
  relay.clearDiverted();
  relay.setMode(ConsoleRelay::Mode::Forward);
  target << "shown again\n";
  EXPECT_EQ(original->str(), "shown\nshown again\n");
  EXPECT_EQ(relay.diverted(), "");
}

TEST(ConsoleRelay, SwitchingModesPassesAnUnfinishedLineToTheModeItWasWrittenIn) {
  std::ostringstream target;
  std::stringbuf* original = target.rdbuf();
  ConsoleRelay relay(target, nullptr);
  target << "partial";
  relay.setMode(ConsoleRelay::Mode::Divert);
  EXPECT_EQ(original->str(), "partial");
  EXPECT_EQ(relay.diverted(), "");
}

TEST(ProgressBar, IsSilentWhenDisabled) {
  // Disabled (as it is whenever standard error is not a terminal): every call is a no-op.
  ProgressBar bar(false);
  EXPECT_FALSE(bar.active());
  bar.update(0.5, "half");
  bar.clear();
  bar.redraw();
  bar.finish();
}

}  // namespace
}  // namespace zelto::tool
