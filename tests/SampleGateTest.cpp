#include <gtest/gtest.h>

#include <cmath>

#include "SampleGate.h"

namespace zelto {
namespace {

using Decision = SampleGate::Decision;
using Event = SampleGate::Event;

constexpr double kFits = 5.0;     // a typical χ²(6) value
constexpr double kOutlier = 1e3;  // far beyond 22.46
constexpr double kStep = 0.001;   // 1 kHz

// Feeds samples from..to (exclusive) with one statistic and balanced residual rows; returns
// the last decision.
Decision feed(SampleGate& g, double from, double to, double statistic) {
  Decision d = Decision::Feed;
  for (double t = from; t < to - 1e-9; t += kStep) d = g.assess(t, statistic, 3.0, 3.0);
  return d;
}

TEST(SampleGate, OutliersAreLeftOutOnlyAfterTheWarmUp) {
  SampleGate g;
  EXPECT_EQ(g.assess(10.0, NAN, 0, 0), Decision::Feed);       // not evaluable yet
  EXPECT_EQ(g.assess(10.5, kOutlier, 3, 3), Decision::Feed);  // within the first second
  feed(g, 10.501, 11.2, kFits);
  EXPECT_EQ(g.assess(11.2, kOutlier, 3, 3), Decision::Reject);
  EXPECT_EQ(g.assess(11.201, 22.46, 3, 3), Decision::Feed);  // on the bound: fits
  EXPECT_EQ(g.rejected(), 1u);
  EXPECT_FALSE(g.contact());
}

// Time of the first sample from..to on which event happens (NaN if none).
double eventTime(SampleGate& g, double from, double to, double statistic, Event event) {
  for (double t = from; t < to - 1e-9; t += kStep) {
    g.assess(t, statistic, 3.0, 3.0);
    if (g.lastEvent() == event) return t;
  }
  return NAN;
}

TEST(SampleGate, ContactStartsEndsHoldsAndRestartsAfterThreeAndAHalfSeconds) {
  SampleGate g;
  feed(g, 0.0, 2.0, kFits);
  // A fifth of the last 0.1 s exceeding: contact, announced once.
  EXPECT_NEAR(eventTime(g, 2.0, 2.1, kOutlier, Event::ContactStarted), 2.019, 1.5e-3);
  EXPECT_TRUE(g.contact());
  // Fitting samples during contact are held back, and convergence is blocked.
  EXPECT_EQ(g.assess(2.1, kFits, 3, 3), Decision::Hold);
  EXPECT_TRUE(g.blocksConvergence(2.1));
  // The contact ends once at most 2 % of the window exceeds; 0.1 s more are held.
  const double end = eventTime(g, 2.101, 2.3, kFits, Event::ContactEnded);
  EXPECT_NEAR(end, 2.019 + 0.1, 2.5e-3);  // the outliers have left the window
  EXPECT_EQ(feed(g, end + kStep, end + 0.099, kFits), Decision::Hold);
  EXPECT_EQ(feed(g, end + 0.099, end + 0.102, kFits), Decision::Feed);
  EXPECT_FALSE(g.blocksConvergence(end + 0.102));
  EXPECT_EQ(g.contactEpisodes(), 1u);

  // A contact of 3.5 s restarts the run; the counts stay, the warm-up starts again.
  const double start = eventTime(g, 3.0, 3.1, kOutlier, Event::ContactStarted);
  EXPECT_NEAR(eventTime(g, start + kStep, 8.0, kOutlier, Event::Restarted), start + 3.5, 1.5e-3);
  EXPECT_FALSE(g.contact());
  EXPECT_EQ(g.contactEpisodes(), 2u);
  EXPECT_EQ(g.assess(start + 3.6, kOutlier, 3, 3), Decision::Feed);
}

TEST(SampleGate, ResidualsThatDoNotFitTheConfiguredNoiseSuspendGateAndFlag) {
  SampleGate g;
  // Torque rows twice the force rows: recognised after 2 s of usable samples, once.
  Decision d = Decision::Feed;
  int noiseEvents = 0;
  for (double t = 0.0; t < 3.5; t += kStep) {
    d = g.assess(t, t > 1.5 ? kOutlier : kFits, 2.0, 4.0);
    noiseEvents += g.lastEvent() == Event::NoiseSuspect ? 1 : 0;
  }
  EXPECT_EQ(noiseEvents, 1);
  EXPECT_TRUE(g.suspended());
  EXPECT_EQ(d, Decision::Feed);
  EXPECT_NEAR(g.noiseRatio(), 2.0, 1e-12);
  EXPECT_FALSE(g.blocksConvergence(3.5));
}

}  // namespace
}  // namespace zelto
