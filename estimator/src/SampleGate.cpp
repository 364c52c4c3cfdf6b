#include "SampleGate.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelto {

void GateCounts::count(const SampleGate::Verdict& verdict) {
  ++assessed;
  rejected += verdict.decision != SampleGate::Decision::Feed ? 1 : 0;
  episodes += verdict.event == SampleGate::Event::ContactStarted ? 1 : 0;
}

double SampleGate::noiseRatio() const {
  return forceSum_ > 0.0 ? torqueSum_ / forceSum_ : std::numeric_limits<double>::quiet_NaN();
}

double SampleGate::outlierShare() const {
  return countedSum_ > 0.0 ? outlierSum_ / countedSum_ : std::numeric_limits<double>::quiet_NaN();
}

double SampleGate::doubtedWeight(double statistic) {
  return std::isnan(statistic) ? 1.0 : 9.0 / (9.0 + std::max(0.0, statistic) / 6.0);
}

double SampleGate::persistentShare() const {
  // Counted against no fewer slots than the memory holds once full: early in a run a single
  // tap's ringing would otherwise fill half of the few slots there are.
  static const double fullMemory = 1.0 / (1.0 - std::exp(-kWindow / kNoiseMemory));
  return slotSum_ > 0.0 ? noisySlotSum_ / std::max(slotSum_, fullMemory)
                        : std::numeric_limits<double>::quiet_NaN();
}

bool SampleGate::blocksConvergence(double time) const {
  return contact_ || (holding_ && time < holdUntil_);
}

void SampleGate::pushMark(double time, bool exceeded) {
  // Forget what left the window, then add the new mark (dropping the oldest when full).
  while (count_ > 0 && (marks_[head_].time < time - kWindow || count_ == kWindowCapacity)) {
    exceeded_ -= marks_[head_].exceeded ? 1 : 0;
    head_ = (head_ + 1) % kWindowCapacity;
    --count_;
  }
  marks_[(head_ + count_) % kWindowCapacity] = Mark{time, exceeded};
  ++count_;
  exceeded_ += exceeded ? 1 : 0;
}

bool SampleGate::accumulate(double time, const SampleConsistency& consistency, bool exceeded) {
  pushMark(time, exceeded);
  if (!hasUsable_) {
    hasUsable_ = true;
    firstUsable_ = time;
    lastUsable_ = time;
    slotStart_ = time;
  }
  const double step = time - lastUsable_;
  if (step != lastStep_) {
    lastStep_ = step;
    windowDecay_ = std::exp(-step / kWindow);
    memoryDecay_ = std::exp(-step / kNoiseMemory);
  }
  lastUsable_ = time;

  const Eigen::Matrix<double, 6, 1>& z = consistency.normalised;
  residualSum_ = windowDecay_ * residualSum_ + z;
  energySum_ = windowDecay_ * energySum_ + z.squaredNorm();
  weightSum_ = windowDecay_ * weightSum_ + 1.0;
  weightSquares_ = windowDecay_ * windowDecay_ * weightSquares_ + 1.0;

  // Exponentially forgotten: the early samples, whose residuals the still uncertain estimate
  // dominates on every row alike, fade instead of diluting the evidence for good. A window
  // that looks like a force on the tool, and outliers whose residuals share a direction, tell
  // nothing about the configured variances. (A flagged contact whose windows stop looking
  // like a force does count: wrong variances can keep the flag on by themselves.)
  const bool coherentNow = coherent();
  const bool forceNow =
      windowShare() >= kContactOn && coherentNow && energySum_ >= kForceEnergy * weightSum_;
  const bool noise = !(exceeded && coherentNow) && !forceNow;
  forceSum_ = memoryDecay_ * forceSum_ + (noise ? z.head<3>().squaredNorm() : 0.0);
  torqueSum_ = memoryDecay_ * torqueSum_ + (noise ? z.tail<3>().squaredNorm() : 0.0);
  outlierSum_ = memoryDecay_ * outlierSum_ + (noise && exceeded ? 1.0 : 0.0);
  countedSum_ = memoryDecay_ * countedSum_ + (noise ? 1.0 : 0.0);
  usableSum_ = memoryDecay_ * usableSum_ + 1.0;
  if (time - slotStart_ >= kWindow) {
    if (slotCounted_ > 0) {
      const double decay = std::exp(-(time - slotStart_) / kNoiseMemory);
      const bool noisy = slotExceeded_ > kContactOff * slotCounted_;
      slotSum_ = decay * slotSum_ + 1.0;
      noisySlotSum_ = decay * noisySlotSum_ + (noisy ? 1.0 : 0.0);
    }
    slotStart_ = time;
    slotCounted_ = 0;
    slotExceeded_ = 0;
  }
  slotCounted_ += noise ? 1 : 0;
  slotExceeded_ += noise && exceeded ? 1 : 0;
  return forceNow;
}

double SampleGate::windowShare() const {
  return count_ > 0 ? static_cast<double>(exceeded_) / static_cast<double>(count_) : 0.0;
}

bool SampleGate::coherent() const {
  // |Σ w·z|² / (Σ w·|z|² · Σ w): 1 for a constant offset; about Σw² / (Σw)² for noise.
  const double share = residualSum_.squaredNorm() / (energySum_ * weightSum_);
  const double noiseLevel = weightSquares_ / (weightSum_ * weightSum_);
  return share >= kCoherent || noiseLevel >= kCoherent / 4.0;
}

SampleGate::Verdict SampleGate::assess(double time, const SampleConsistency& consistency) {
  Verdict verdict;
  if (!started_) {
    started_ = true;
    start_ = time;
  }
  const bool usable = std::isfinite(consistency.statistic) && time - start_ >= kWarmUp;
  if (!usable) {
    return verdict;
  }
  const bool exceeded = consistency.statistic > kThreshold;
  const bool forceLike = accumulate(time, consistency, exceeded);
  const bool checked = time - firstUsable_ >= kNoiseCheckAfter;
  // No verdict while the window looks like a force on the tool (the contact flag has the first
  // word), nor while less than half of the recent samples could count as evidence.
  if (!suspended() && checked && !forceLike && countedSum_ >= 0.5 * usableSum_) {
    if (noiseRatio() >= kNoiseRatioLimit) {
      suspicion_ = Suspicion::TorqueOverForce;
    } else if (outlierShare() > kOutlierShareLimit && persistentShare() >= kPersistentShareLimit) {
      suspicion_ = Suspicion::ScatteredOutliers;
    }
    if (suspended()) {
      contact_ = false;  // the flag was the variances' doing
      holding_ = false;
      verdict.event = Event::NoiseSuspect;
    }
  }
  if (suspended()) {
    verdict.weight = doubtedWeight(consistency.statistic);
    return verdict;
  }

  if (!contact_ && checked && forceLike) {
    contact_ = true;
    contactStart_ = time;
    earlyContact_ = !flagCouldComeOn_;
    verdict.event = Event::ContactStarted;
  } else if (contact_ && windowShare() <= kContactOff) {
    contact_ = false;
    holding_ = true;
    holdUntil_ = time + kWindow;
    lastContactDuration_ = time - contactStart_;
    if (earlyContact_) {
      return {Decision::Restart, Event::RestartedAfterEarlyContact};
    }
    verdict.event = Event::ContactEnded;
  }
  flagCouldComeOn_ = flagCouldComeOn_ || checked;
  if (contact_ && time - contactStart_ >= kRestartAfter) {
    return {Decision::Restart, Event::Restarted};
  }
  if (contact_ && time - contactStart_ >= kHardHold) {
    verdict.weight = doubtedWeight(consistency.statistic);
  } else if (exceeded) {
    verdict.decision = Decision::Reject;
  } else if (blocksConvergence(time)) {
    verdict.decision = Decision::Hold;
  } else {
    holding_ = false;
  }
  return verdict;
}

}  // namespace zelto
