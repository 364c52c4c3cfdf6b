#include "ImuDelayLine.h"

#include <algorithm>

namespace zelto {

void ImuDelayLine::push(const CompensatorInputs& newest) {
  if (count_ == kCapacity) {
    head_ = (head_ + 1) % kCapacity;
    --count_;
  }
  slots_[(head_ + count_) % kCapacity] = newest;
  ++count_;
}

void ImuDelayLine::bracket(double t, std::size_t& earlier, std::size_t& later,
                           double& weight) const {
  weight = 0.0;
  if (t >= slot(count_ - 1).time) {
    earlier = later = count_ - 1;
    return;
  }
  if (t <= slot(0).time) {
    earlier = later = 0;
    return;
  }
  // The first sample after t, by bisection: the ring is ordered in time.
  std::size_t low = 0, high = count_ - 1;  // slot(low).time < t < slot(high).time
  while (high - low > 1) {
    const std::size_t mid = low + (high - low) / 2;
    (slot(mid).time <= t ? low : high) = mid;
  }
  earlier = low;
  later = high;
  weight = (t - slot(low).time) / (slot(high).time - slot(low).time);
}

CompensatorInputs ImuDelayLine::paired() const {
  const double now = slot(count_ - 1).time;
  std::size_t e = 0, l = 0;
  double u = 0.0;
  CompensatorInputs out;

  bracket(now - std::max(delay_, 0.0), e, l, u);
  out.time = now - std::max(delay_, 0.0);
  out.force = (1.0 - u) * slot(e).force + u * slot(l).force;
  out.torque = (1.0 - u) * slot(e).torque + u * slot(l).torque;

  bracket(now + std::min(delay_, 0.0), e, l, u);
  out.linearAcceleration = (1.0 - u) * slot(e).linearAcceleration + u * slot(l).linearAcceleration;
  out.angularVelocity = (1.0 - u) * slot(e).angularVelocity + u * slot(l).angularVelocity;
  out.angularAcceleration =
      (1.0 - u) * slot(e).angularAcceleration + u * slot(l).angularAcceleration;
  return out;
}

}  // namespace zelto
