#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <vector>

namespace zelto {

//! A 3-vector with the time (s) it belongs to.
struct StampedVector3 {
  double time = 0.0;
  Eigen::Vector3d value = Eigen::Vector3d::Zero();
};

//! Time-ordered history of stamped 3-vectors, oldest first.
//!
//! The history remembers the lowest index any reader touched since the last prune()
//! (through at() or sampleAt()); prune() keeps five items before that index and drops
//! the rest, so memory stays bounded by the span the readers actually use.
//! Pushes are expected with non-decreasing times; nothing checks it.
class StampedHistory {
 public:
  void clear();
  void push(const StampedVector3& item) { items_.push_back(item); }

  std::size_t size() const { return items_.size() - head_; }
  bool empty() const { return items_.size() == head_; }

  //! Item i without bounds check and without touching the used mark (readers that manage
  //! the history's span themselves, through dropOlderThan).
  const StampedVector3& operator[](std::size_t i) const { return items_[head_ + i]; }

  //! Copies of the oldest / newest item; the history must not be empty.
  StampedVector3 front() const { return items_[head_]; }
  StampedVector3 back() const { return items_.back(); }

  //! Item i (lowers the used mark to i first); throws std::out_of_range
  //! ("invalid vector subscript") when i >= size().
  StampedVector3 at(std::uint32_t i) {
    if (i < lowestUsedIndex_) lowestUsedIndex_ = i;
    if (i >= size()) throwOutOfRange();
    return items_[head_ + i];
  }

  //! Value at time t by linear interpolation between the neighbours, clamped to the
  //! oldest / newest value outside the stored span; the history must not be empty.
  StampedVector3 sampleAt(double t) {
    // At or after the newest item (the usual case: both streams share time stamps) the
    // newest value is the answer and no item counts as read.
    if (t >= items_.back().time || size() < 2 || t < items_[head_].time) {
      return StampedVector3{
          t, (size() < 2 || t < items_[head_].time) ? items_[head_].value : items_.back().value};
    }
    return interpolate(t);
  }

  //! Drops the items older than five before the lowest index used since the last prune.
  void prune() {
    const std::size_t n = size();
    if (n == 0 || lowestUsedIndex_ >= n - 1) return;
    dropOldest(lowestUsedIndex_ > 5 ? lowestUsedIndex_ - 5 : 0);
  }

  //! Drops every item older than time except the newest of them, which a reader may still
  //! need as the left neighbour when it interpolates at time.
  void dropOlderThan(double time) {
    std::size_t count = 0;
    const std::size_t n = size();
    while (count + 1 < n && items_[head_ + count + 1].time <= time) ++count;
    if (count > 0) dropOldest(count);
  }

  std::uint32_t lowestUsedIndex() const { return lowestUsedIndex_; }

 private:
  [[noreturn]] static void throwOutOfRange();
  StampedVector3 interpolate(double t);
  void dropOldest(std::size_t count);

  // Pruned items are only skipped (head_ moves on) and physically removed in batches: a prune
  // after every sample would otherwise shift the whole history each time.
  static constexpr std::size_t kCompactAfter = 64;

  std::uint32_t lowestUsedIndex_ = 0;
  std::size_t head_ = 0;  //!< position of the oldest live item in items_
  std::vector<StampedVector3> items_;
};

}  // namespace zelto
