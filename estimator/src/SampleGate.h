#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelto {

//! Keeps samples that disagree with the estimate out of it: single outliers (taps on the
//! tool or the structure) and whole stretches of them (contact with the environment, during
//! which the sensor measures more than the payload).
//!
//! Per joined sample the owner asks assess() with the sample's time and its consistency
//! statistic (χ² with 6 degrees of freedom for a sample that fits; NaN while it cannot be
//! evaluated) and feeds the sample only on Decision::Feed. Times are the samples' own, in
//! seconds; every window is a span of time, so any input rate works.
//!
//! - Gate: from 1 s after the start of the run (or of its restart) a sample whose statistic
//!   exceeds the 99.9 % quantile of χ²(6), 22.46, is not fed.
//! - Contact: on when at least 20 % of the usable samples of the last 0.1 s exceeded the gate,
//!   off when at most 2 % do. While on and for 0.1 s after, nothing is fed and the run may not
//!   converge. A contact that lasts 3.5 s restarts the run.
//! - Noise self-check: with wrong configured variances the statistic is not χ² and the gate
//!   would stall the run. The ratio of the torque rows' to the force rows' normalised squared
//!   residuals is about 1 when the variances are right (a common scale error is absorbed by
//!   λ) and 1.7 or more when they are far off; from then on gate and flag are suspended.
//!
//! Fixed-size state: nothing is allocated per sample.
class SampleGate {
 public:
  enum class Decision {
    Feed,     //!< use the sample
    Reject,   //!< an outlier: leave it out
    Hold,     //!< contact (or just after): leave it out
    Restart,  //!< the contact lasted too long: discard the estimate and start again
  };
  //! Changes the owner reports on the console.
  enum class Event { None, ContactStarted, ContactEnded, Restarted, NoiseSuspect };

  static constexpr double kThreshold = 22.46;  //!< χ²(6), 99.9 %
  static constexpr double kWarmUp = 1.0;       //!< s before the gate applies
  static constexpr double kWindow = 0.1;       //!< s, contact window and hold
  static constexpr double kContactOn = 0.20;   //!< share of the window exceeding
  static constexpr double kContactOff = 0.02;
  static constexpr double kRestartAfter = 3.5;  //!< s of contact
  static constexpr double kNoiseRatioLimit = 1.7;
  static constexpr double kNoiseCheckAfter = 2.0;       //!< s of usable samples before judging
  static constexpr double kNoiseMemory = 2.0;           //!< s, time constant of its sums
  static constexpr std::size_t kWindowCapacity = 1024;  //!< samples (0.1 s at up to 10 kHz)

  //! A new run (or restart) whose first joined sample has time start.
  void reset();

  //! The decision for one joined sample. statistic: the consistency statistic (NaN when not
  //! evaluable); forceSquares, torqueSquares: the rows' normalised squared residuals.
  Decision assess(double time, double statistic, double forceSquares, double torqueSquares);

  //! What changed with the last assess() (at most one event per sample).
  Event lastEvent() const { return event_; }

  bool contact() const { return contact_; }
  //! True while the run must not converge: contact, or within 0.1 s after one.
  bool blocksConvergence(double time) const;
  std::uint64_t rejected() const { return rejected_; }
  std::uint64_t contactEpisodes() const { return episodes_; }
  std::uint64_t assessed() const { return assessed_; }
  //! Seconds the contact that just ended lasted.
  double lastContactDuration() const { return lastContactDuration_; }
  //! Torque rows' over force rows' mean normalised squared residual (NaN before any).
  double noiseRatio() const;
  bool suspended() const { return suspended_; }

 private:
  struct Mark {
    double time = 0.0;
    bool exceeded = false;
  };
  void pushMark(double time, bool exceeded);

  bool started_ = false;
  double start_ = 0.0;  //!< time of the run's (or restart's) first sample
  bool contact_ = false;
  double contactStart_ = 0.0;
  bool holding_ = false;
  double holdUntil_ = 0.0;
  bool suspended_ = false;
  bool noiseReported_ = false;
  Event event_ = Event::None;
  std::uint64_t rejected_ = 0;
  std::uint64_t episodes_ = 0;
  std::uint64_t assessed_ = 0;
  double lastContactDuration_ = 0.0;
  // Usable samples of the last kWindow seconds (ring buffer) and how many exceeded the gate.
  std::array<Mark, kWindowCapacity> marks_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t exceeded_ = 0;
  // Noise self-check sums over the usable samples of the run.
  double forceSum_ = 0.0;
  double torqueSum_ = 0.0;
  double firstUsable_ = 0.0;
  double lastUsable_ = 0.0;
  bool hasUsable_ = false;
  bool hasDecayTime_ = false;
};

}  // namespace zelto
