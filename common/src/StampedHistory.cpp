#include "StampedHistory.h"

#include <algorithm>
#include <stdexcept>

namespace zelto {

void StampedHistory::clear() {
  lowestUsedIndex_ = 0;
  head_ = 0;
  items_.clear();
}

void StampedHistory::throwOutOfRange() {
  throw std::out_of_range("invalid vector subscript");
}

StampedVector3 StampedHistory::interpolate(double t) {
  // Normally front().time <= t < back().time here, with at least two items.
  const auto first = items_.begin() + static_cast<std::ptrdiff_t>(head_);
  const auto upper =
      std::upper_bound(first, items_.end(), t,
                       [](double time, const StampedVector3& item) { return time < item.time; });
  if (upper == items_.end()) {
    // Only reachable with unordered items or a NaN time; the newest value, as for t at the end.
    return StampedVector3{t, items_.back().value};
  }
  const auto upperIndex = static_cast<std::uint32_t>(upper - first);
  // upper is never the first item: t >= front().time.
  lowestUsedIndex_ = std::min(lowestUsedIndex_, upperIndex - 1);
  const StampedVector3& p = *(upper - 1);
  const StampedVector3& u = *upper;
  const double dt = u.time - p.time;
  if (dt == 0.0) {
    return p;
  }
  return StampedVector3{t, p.value + (u.value - p.value) / dt * (t - p.time)};
}

void StampedHistory::dropOldest(std::size_t count) {
  head_ += count;
  if (head_ >= kCompactAfter) {
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  lowestUsedIndex_ = static_cast<std::uint32_t>(size() - 1);
}

}  // namespace zelto
