#include "SampleGate.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace zelto {

void SampleGate::reset() {
  const bool suspended = suspended_;
  const bool reported = noiseReported_;
  // The verdict on the configuration does not depend on restarts: keep its evidence.
  const double forceSum = forceSum_, torqueSum = torqueSum_, firstUsable = firstUsable_,
               lastUsable = lastUsable_;
  const bool hasUsable = hasUsable_, hasDecayTime = hasDecayTime_;
  const std::uint64_t rejected = rejected_, episodes = episodes_, assessed = assessed_;
  *this = SampleGate();
  // A restart keeps the counts of the run and the verdict on the configuration.
  suspended_ = suspended;
  noiseReported_ = reported;
  rejected_ = rejected;
  episodes_ = episodes;
  assessed_ = assessed;
  forceSum_ = forceSum;
  torqueSum_ = torqueSum;
  firstUsable_ = firstUsable;
  lastUsable_ = lastUsable;
  hasUsable_ = hasUsable;
  hasDecayTime_ = hasDecayTime;
}

double SampleGate::noiseRatio() const {
  return forceSum_ > 0.0 ? torqueSum_ / forceSum_ : std::numeric_limits<double>::quiet_NaN();
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

SampleGate::Decision SampleGate::assess(double time, double statistic, double forceSquares,
                                        double torqueSquares) {
  event_ = Event::None;
  ++assessed_;
  if (!started_) {
    started_ = true;
    start_ = time;
  }
  const bool usable = std::isfinite(statistic) && time - start_ >= kWarmUp;
  if (!usable) {
    return Decision::Feed;
  }

  // Noise self-check on every usable sample, outliers included: wrong variances show in all.
  if (!hasUsable_) {
    hasUsable_ = true;
    firstUsable_ = time;
  }
  // Exponentially forgotten sums: the early samples, whose residuals the still uncertain
  // estimate dominates on every row alike, fade instead of diluting the ratio for good.
  const double decay = hasDecayTime_ ? std::exp(-(time - lastUsable_) / kNoiseMemory) : 0.0;
  forceSum_ = decay * forceSum_ + forceSquares;
  torqueSum_ = decay * torqueSum_ + torqueSquares;
  lastUsable_ = time;
  hasDecayTime_ = true;
  if (!suspended_ && time - firstUsable_ >= kNoiseCheckAfter && noiseRatio() >= kNoiseRatioLimit) {
    suspended_ = true;
    contact_ = false;
    holding_ = false;
    if (!noiseReported_) {
      noiseReported_ = true;
      event_ = Event::NoiseSuspect;
    }
  }
  if (suspended_) {
    return Decision::Feed;
  }

  const bool exceeded = statistic > kThreshold;
  pushMark(time, exceeded);
  const double share = static_cast<double>(exceeded_) / static_cast<double>(count_);
  if (!contact_ && share >= kContactOn) {
    contact_ = true;
    contactStart_ = time;
    ++episodes_;
    event_ = Event::ContactStarted;
  } else if (contact_ && share <= kContactOff) {
    contact_ = false;
    holding_ = true;
    holdUntil_ = time + kWindow;
    lastContactDuration_ = time - contactStart_;
    event_ = Event::ContactEnded;
  }
  if (contact_ && time - contactStart_ >= kRestartAfter) {
    ++rejected_;
    reset();
    event_ = Event::Restarted;
    return Decision::Restart;
  }
  if (exceeded) {
    ++rejected_;
    return Decision::Reject;
  }
  if (contact_ || (holding_ && time < holdUntil_)) {
    ++rejected_;
    return Decision::Hold;
  }
  holding_ = false;
  return Decision::Feed;
}

}  // namespace zelto
