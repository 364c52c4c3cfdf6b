#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>

namespace zelto {

//! How well one sample agrees with the current estimate, before it is fed.
struct SampleConsistency {
  //! eᵀ(λ·R + H·C·Hᵀ)⁻¹e: e the six residuals of the sample at the current θ, R their
  //! covariance from the configured measurement noise, H the sample's regressor rows, C the
  //! covariance of θ and λ its Rayleigh quotient. χ² with 6 degrees of freedom for a sample
  //! that fits. NaN while the covariance is undefined.
  double statistic = 0.0;
  //! Bound on each normalised residual below (5 σ), so that a single outlier weighs no more
  //! than a sample at the bound.
  static constexpr double kClip = 5.0;
  //! e_i / √S_ii of the force rows x, y, z and the torque rows x, y, z, clipped to ±kClip.
  Eigen::Matrix<double, 6, 1> normalised = Eigen::Matrix<double, 6, 1>::Zero();
};

//! Keeps samples that disagree with the estimate out of it: single outliers (taps on the
//! tool or the structure) and whole stretches of them (contact with the environment, during
//! which the sensor measures more than the payload).
//!
//! Per joined sample the owner asks assess() with the sample's time and its consistency and
//! feeds the sample only on Decision::Feed. Times are the samples' own, in seconds; every
//! window is a span of time, so any input rate works. One object judges one run: on
//! Decision::Restart the owner starts the run again with a fresh gate (warm-up and noise check
//! included), and keeps the counts across restarts itself (GateCounts).
//!
//! - Gate: from 1 s after the start of the run (or of its restart) a sample whose statistic
//!   exceeds the 99.9 % quantile of χ²(6), 22.46, is not fed.
//! - Contact: on when the window of the last 0.1 s looks like a force on the tool: at least
//!   20 % of its usable samples exceeded the gate, their residuals share a direction (a force
//!   pressing on the tool does; noise does not) and carry over three times the energy of noise.
//!   Off when at most 2 % exceed. While on and for 0.1 s after, the run may not converge. For
//!   the first 0.5 s of a contact nothing is fed (taps and short contacts end within it); after
//!   that every sample is fed with a weight that falls with its statistic: a real contact
//!   barely moves the estimate, an estimate that was itself wrong keeps following the motion
//!   and the flag ends. A contact that lasts 3.5 s restarts the run. The flag waits for the first
//!   verdict on the noise configuration, 1 s after the gate starts. A contact flagged on the
//!   first sample that may flag one was there before, in the samples fed while nothing could
//!   be judged: when it ends, the run restarts too (the estimate would keep that part of it for
//!   good).
//! - Noise self-check: with wrong configured variances the statistic is not χ² and the gate
//!   would stall the run. Two signs, over the usable samples of the last few seconds whose
//!   window does not look like a force: the torque rows' normalised squared residuals 1.7
//!   times the force rows' or more (about 1 when the variances are right; a common scale error
//!   is absorbed by λ), or more than 5 % of them exceeding the gate with residuals that share
//!   no direction (0.1 % expected) and that keep doing so: in at least half of the recent
//!   0.1 s slots more than 2 % exceed. Taps make the structure ring, and its ringing exceeds
//!   in alternating directions for a fifth of a second or so: a burst, not the steady excess
//!   wrong variances give, so taps never switch the gate off. Judged whenever the window does not
//!   look like a force and at least half of the recent samples counted, within a flagged contact
//!   too (wrong variances can hold the flag on by themselves); from then on gate and flag are off
//!   for the run and every sample is fed with the weight of a doubted one.
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
  enum class Event {
    None,
    ContactStarted,
    ContactEnded,
    Restarted,
    //! A contact flagged as soon as the flag may come on ended: it was there before, in the
    //! samples fed while nothing could be judged, so the run starts again without them.
    RestartedAfterEarlyContact,
    NoiseSuspect
  };
  //! Which sign of a wrong noise configuration suspended the gate.
  enum class Suspicion { None, TorqueOverForce, ScatteredOutliers };

  static constexpr double kThreshold = 22.46;  //!< χ²(6), 99.9 %
  static constexpr double kWarmUp = 1.0;       //!< s before the gate applies
  static constexpr double kWindow = 0.1;       //!< s, contact window and hold
  static constexpr double kContactOn = 0.20;   //!< share of the window exceeding
  static constexpr double kContactOff = 0.02;
  //! Least share of the window's residual energy in its mean direction for a contact; noise
  //! spread over n samples has about 1/n.
  static constexpr double kCoherent = 0.05;
  //! Least mean squared norm of the window's normalised residuals for a contact: over three
  //! times what noise that fits the configuration gives (6). Contacts reach 24-32 when the
  //! flag fires; the residuals of an estimate held back by wrong variances hover near 12.
  static constexpr double kForceEnergy = 20.0;
  static constexpr double kRestartAfter = 3.5;  //!< s of contact
  //! s of a contact during which nothing is fed; later flagged samples are fed with
  //! doubtedWeight, so that a flag raised by the estimate's own error (a direction the motion is
  //! only now revealing) cannot freeze the estimate while the motion goes on.
  static constexpr double kHardHold = 0.5;
  static constexpr double kNoiseRatioLimit = 1.7;
  static constexpr double kOutlierShareLimit = 0.05;
  //! Least share of the recent slots (kWindow each) in which over kContactOff of the samples
  //! exceeded, for scattered outliers to count as a sign of wrong variances.
  static constexpr double kPersistentShareLimit = 0.5;
  static constexpr double kNoiseCheckAfter = 1.0;       //!< s of usable samples before judging
  static constexpr double kNoiseMemory = 2.0;           //!< s, time constant of its sums
  static constexpr std::size_t kWindowCapacity = 1024;  //!< samples (0.1 s at up to 10 kHz)

  //! The decision for one joined sample and what it changed (at most one event per sample).
  struct Verdict {
    Decision decision = Decision::Feed;
    Event event = Event::None;
    double weight = 1.0;  //!< of a fed sample, in (0, 1]: below 1 for a doubted one
  };

  //! The weight of a doubted sample: 9 / (9 + statistic / 6), a Cauchy weight of the
  //! statistic per degree of freedom (0.9 for a sample that fits, 0.35 at 100); 1 for NaN.
  static double doubtedWeight(double statistic);

  Verdict assess(double time, const SampleConsistency& consistency);

  bool contact() const { return contact_; }
  //! True while the run must not converge: contact, or within 0.1 s after one.
  bool blocksConvergence(double time) const;
  //! Seconds the contact that just ended lasted.
  double lastContactDuration() const { return lastContactDuration_; }
  //! Torque rows' over force rows' mean normalised squared residual (NaN before any).
  double noiseRatio() const;
  //! Share of the usable samples outside contact whose residuals exceeded the gate without
  //! sharing a direction (NaN before any).
  double outlierShare() const;
  //! Share of the recent slots of kWindow in which more than kContactOff of those samples
  //! exceeded (NaN before the first slot closed).
  double persistentShare() const;
  bool suspended() const { return suspicion_ != Suspicion::None; }
  Suspicion suspicion() const { return suspicion_; }

 private:
  struct Mark {
    double time = 0.0;
    bool exceeded = false;
  };

  void pushMark(double time, bool exceeded);
  //! Adds the sample to the window and decays the sums to time (both memories at once) before
  //! adding it. Returns whether the window now looks like a force on the tool: a fifth of it
  //! exceeding, its residuals sharing a direction, their energy over three times that of noise.
  bool accumulate(double time, const SampleConsistency& consistency, bool exceeded);
  //! Share of the window's usable samples that exceeded the gate.
  double windowShare() const;
  //! True when the window's residuals may be one force: they share a direction, or the
  //! window holds too few samples to tell that from noise.
  bool coherent() const;

  bool started_ = false;
  double start_ = 0.0;  //!< time of the run's (or restart's) first sample
  bool contact_ = false;
  bool earlyContact_ = false;     //!< the flag came on with the first sample that could flag
  bool flagCouldComeOn_ = false;  //!< a sample that could flag a contact was judged
  double contactStart_ = 0.0;
  double lastContactDuration_ = 0.0;
  bool holding_ = false;
  double holdUntil_ = 0.0;
  Suspicion suspicion_ = Suspicion::None;
  // Usable samples of the last kWindow seconds (ring buffer) and how many exceeded.
  std::array<Mark, kWindowCapacity> marks_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t exceeded_ = 0;
  // Exponentially weighted (time constant kWindow) sums of the normalised residuals, their
  // squared norms, the weights and the squared weights: the window's coherence.
  Eigen::Matrix<double, 6, 1> residualSum_ = Eigen::Matrix<double, 6, 1>::Zero();
  double energySum_ = 0.0;
  double weightSum_ = 0.0;
  double weightSquares_ = 0.0;
  // Noise self-check: exponentially forgotten sums (time constant kNoiseMemory) over the
  // usable samples that show no force on the tool.
  double forceSum_ = 0.0;
  double torqueSum_ = 0.0;
  double outlierSum_ = 0.0;  //!< those of them that exceeded the gate
  double countedSum_ = 0.0;  //!< the samples counted as evidence on the noise
  double usableSum_ = 0.0;   //!< all usable samples
  // Slots of kWindow over the samples counted as evidence: the open one's counts, and
  // exponentially forgotten (kNoiseMemory) counts of the closed ones and of those in which
  // more than kContactOff exceeded.
  double slotStart_ = 0.0;
  std::uint32_t slotCounted_ = 0;
  std::uint32_t slotExceeded_ = 0;
  double slotSum_ = 0.0;
  double noisySlotSum_ = 0.0;
  double firstUsable_ = 0.0;
  double lastUsable_ = 0.0;
  bool hasUsable_ = false;
  // exp(−Δt / τ) for the last step, reused while the step does not change (a steady rate).
  double lastStep_ = -1.0;
  double windowDecay_ = 0.0;
  double memoryDecay_ = 0.0;
};

//! What the read-out reports of the gate since the estimator was started, across contact
//! restarts (which replace the gate, not these).
struct GateCounts {
  std::uint64_t assessed = 0;  //!< samples judged
  std::uint64_t rejected = 0;  //!< samples left out, the one that restarted the run included
  std::uint64_t episodes = 0;  //!< contacts flagged

  void count(const SampleGate::Verdict& verdict);
};

}  // namespace zelto
