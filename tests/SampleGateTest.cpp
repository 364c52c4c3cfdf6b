#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "SampleGate.h"

namespace zelto {
namespace {

using Decision = SampleGate::Decision;
using Event = SampleGate::Event;
using Suspicion = SampleGate::Suspicion;

constexpr double kFits = 5.0;     // a typical χ²(6) value
constexpr double kOutlier = 1e3;  // far beyond 22.46
constexpr double kStep = 0.001;   // 1 kHz

// Residuals of noise: every row the given size, signs scattered; torque rows scaled by
// torqueScale. Outliers of a force share one direction instead.
SampleConsistency noise(double statistic, double torqueScale = 1.0) {
  static std::uint32_t state = 12345;
  SampleConsistency c;
  c.statistic = statistic;
  for (int i = 0; i < 6; ++i) {
    state = state * 1664525u + 1013904223u;
    const double sign = (state >> 31) != 0 ? 1.0 : -1.0;
    c.normalised(i) = sign * (i < 3 ? 1.0 : torqueScale);
  }
  return c;
}

SampleConsistency force(double statistic) {
  SampleConsistency c;
  c.statistic = statistic;
  c.normalised.setConstant(SampleConsistency::kClip);
  return c;
}

// The gate as the estimator drives it: counts kept across restarts, a fresh gate on Restart.
struct Owner {
  SampleGate gate;
  GateCounts counts;
  Event event = Event::None;

  Decision assess(double t, const SampleConsistency& c) {
    const SampleGate::Verdict v = gate.assess(t, c);
    counts.count(v);
    event = v.event;
    if (v.decision == Decision::Restart) gate = SampleGate();
    return v.decision;
  }
  Event lastEvent() const { return event; }
  bool contact() const { return gate.contact(); }
  bool blocksConvergence(double t) const { return gate.blocksConvergence(t); }
  Suspicion suspicion() const { return gate.suspicion(); }
};

// Feeds samples from..to (exclusive); returns the last decision.
template <typename Make>
Decision feed(Owner& g, double from, double to, Make make) {
  Decision d = Decision::Feed;
  for (double t = from; t < to - 1e-9; t += kStep) d = g.assess(t, make(t));
  return d;
}

// Time of the first sample from..to on which event happens (NaN if none).
template <typename Make>
double eventTime(Owner& g, double from, double to, Make make, Event event) {
  for (double t = from; t < to - 1e-9; t += kStep) {
    g.assess(t, make(t));
    if (g.lastEvent() == event) return t;
  }
  return NAN;
}

const auto kNoise = [](double) { return noise(kFits); };
const auto kForce = [](double) { return force(kOutlier); };

TEST(SampleGate, OutliersAreLeftOutOnlyAfterTheWarmUp) {
  Owner g;
  EXPECT_EQ(g.assess(10.0, noise(NAN)), Decision::Feed);       // not evaluable yet
  EXPECT_EQ(g.assess(10.5, noise(kOutlier)), Decision::Feed);  // within the first second
  feed(g, 10.501, 11.2, kNoise);
  EXPECT_EQ(g.assess(11.2, noise(kOutlier)), Decision::Reject);
  EXPECT_EQ(g.assess(11.201, noise(22.46)), Decision::Feed);  // on the bound: fits
  EXPECT_EQ(g.counts.rejected, 1u);
  EXPECT_FALSE(g.contact());
}

TEST(SampleGate, ContactStartsEndsHoldsAndRestartsAfterThreeAndAHalfSeconds) {
  Owner g;
  feed(g, 0.0, 2.0, kNoise);
  // A fifth of the last 0.1 s exceeding in one direction: contact, announced once.
  EXPECT_NEAR(eventTime(g, 2.0, 2.1, kForce, Event::ContactStarted), 2.019, 1.5e-3);
  EXPECT_TRUE(g.contact());
  // Fitting samples during contact are held back, and convergence is blocked.
  EXPECT_EQ(g.assess(2.1, noise(kFits)), Decision::Hold);
  EXPECT_TRUE(g.blocksConvergence(2.1));
  // The contact ends once at most 2 % of the window exceeds; 0.1 s more are held.
  const double end = eventTime(g, 2.101, 2.3, kNoise, Event::ContactEnded);
  EXPECT_NEAR(end, 2.019 + 0.1, 2.5e-3);  // the outliers have left the window
  EXPECT_EQ(feed(g, end + kStep, end + 0.099, kNoise), Decision::Hold);
  EXPECT_EQ(feed(g, end + 0.099, end + 0.102, kNoise), Decision::Feed);
  EXPECT_FALSE(g.blocksConvergence(end + 0.102));
  EXPECT_EQ(g.counts.episodes, 1u);

  // A contact of 3.5 s restarts the run; the counts stay, the warm-up starts again.
  feed(g, end + 0.102, 3.0, kNoise);
  const double start = eventTime(g, 3.0, 3.1, kForce, Event::ContactStarted);
  EXPECT_NEAR(eventTime(g, start + kStep, 8.0, kForce, Event::Restarted), start + 3.5, 1.5e-3);
  EXPECT_FALSE(g.contact());
  EXPECT_EQ(g.counts.episodes, 2u);
  EXPECT_EQ(g.assess(start + 3.6, force(kOutlier)), Decision::Feed);
  // ... and so does the wait for the first verdict: no contact until 2 s after the restart.
  feed(g, start + 3.601, start + 5.5, kNoise);
  EXPECT_TRUE(std::isnan(eventTime(g, start + 5.5, start + 5.6, kForce, Event::ContactStarted)));
  EXPECT_FALSE(std::isnan(eventTime(g, start + 5.6, start + 5.7, kForce, Event::ContactStarted)));
}

// A contact already there when the flag may first come on was in the unjudged samples too:
// its end restarts the run. One that starts a moment later only ends.
TEST(SampleGate, ContactFlaggedAsSoonAsPossibleRestartsTheRunWhenItEnds) {
  for (const double onset : {0.0, 2.0}) {
    Owner g;
    feed(g, 0.0, onset, kNoise);
    const double start = eventTime(g, onset, 2.1, kForce, Event::ContactStarted);
    EXPECT_NEAR(start, onset == 0.0 ? 2.0 : 2.019, 1.5e-3);
    const double end = eventTime(g, 2.5, 3.0, kNoise, Event::RestartedAfterEarlyContact);
    EXPECT_EQ(std::isnan(end), onset != 0.0) << onset;
    EXPECT_EQ(g.counts.episodes, 1u);
  }
}

// The two signs of configured variances that do not fit: each suspends gate and flag once and
// names itself. The ratio speaks 1 s after the gate started; scattered outliers must also fill
// half of the 0.1 s slots a full 2 s memory holds (1 / (1 − e^−0.05) ≈ 20.5), which takes 14
// slots: a burst early in the run cannot.
TEST(SampleGate, ResidualsThatDoNotFitTheConfiguredNoiseSuspendGateAndFlag) {
  struct Case {
    double torqueScale;
    int outlierEvery;  // every n-th sample exceeds the gate, scattered
    Suspicion expected;
    double at;
  };
  for (const Case& c : {Case{std::sqrt(2.0), 0, Suspicion::TorqueOverForce, 2.0},
                        Case{1.0, 4, Suspicion::ScatteredOutliers, 2.414}}) {
    Owner g;
    int events = 0, n = 0;
    double at = NAN;
    Decision d = Decision::Feed;
    for (double t = 0.0; t < 3.0; t += kStep) {
      const bool outlier = c.outlierEvery > 0 && ++n % c.outlierEvery == 0;
      d = g.assess(t, noise(outlier ? kOutlier : kFits, c.torqueScale));
      if (g.lastEvent() == Event::NoiseSuspect && events++ == 0) at = t;
      EXPECT_FALSE(g.contact()) << t;  // a quarter exceeding, but in no common direction
    }
    EXPECT_EQ(events, 1);
    EXPECT_NEAR(at, c.at, 1.5e-3);
    EXPECT_EQ(g.suspicion(), c.expected);
    EXPECT_EQ(d, Decision::Feed);
    EXPECT_FALSE(g.blocksConvergence(3.0));
  }
}

}  // namespace
}  // namespace zelto
