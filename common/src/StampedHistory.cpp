#include "StampedHistory.h"

#include <algorithm>
#include <stdexcept>

namespace zelto {

void StampedHistory::clear() {
  lowestUsedIndex_ = 0;
  head_ = 0;
  items_.clear();
}

void StampedHistory::push(const StampedVector3& item) {
  items_.push_back(item);
}

StampedVector3 StampedHistory::at(std::uint32_t i) {
  lowestUsedIndex_ = std::min(lowestUsedIndex_, i);
  if (i >= size()) {
    throw std::out_of_range("invalid vector subscript");
  }
  return items_[head_ + i];
}

StampedVector3 StampedHistory::sampleAt(double t) {
  const std::size_t n = size();
  const auto first = items_.begin() + static_cast<std::ptrdiff_t>(head_);
  if (n < 2 || t < first->time) {
    return StampedVector3{t, first->value};
  }
  if (t > items_.back().time) {
    return StampedVector3{t, items_.back().value};
  }
  const auto upper =
      std::upper_bound(first, items_.end(), t,
                       [](double time, const StampedVector3& item) { return time < item.time; });
  if (upper == items_.end()) {
    return StampedVector3{t, items_.back().value};
  }
  const auto upperIndex = static_cast<std::uint32_t>(upper - first);
  // upper is never the first item here: t >= front().time.
  lowestUsedIndex_ = std::min(lowestUsedIndex_, upperIndex - 1);
  const StampedVector3& p = *(upper - 1);
  const StampedVector3& u = *upper;
  const double dt = u.time - p.time;
  if (dt == 0.0) {
    return p;
  }
  return StampedVector3{t, p.value + (u.value - p.value) / dt * (t - p.time)};
}

void StampedHistory::prune() {
  const std::size_t n = size();
  if (n == 0 || lowestUsedIndex_ >= n - 1) {
    return;
  }
  const std::size_t k = lowestUsedIndex_ > 5 ? lowestUsedIndex_ - 5 : 0;
  head_ += k;
  if (head_ >= kCompactAfter) {
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  lowestUsedIndex_ = static_cast<std::uint32_t>(size() - 1);
}

}  // namespace zelto
