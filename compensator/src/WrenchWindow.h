#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <vector>

namespace zelto {

using Wrench6 = Eigen::Matrix<double, 6, 1>;  //!< force x, y, z (N), torque x, y, z (N·m)

//! One compensated wrench (before the tare bias is subtracted) and its sample time (s).
struct WindowEntry {
  double time = 0.0;
  Wrench6 wrench = Wrench6::Zero();
};

//! The compensated wrenches of about the last second, oldest first, from which a tare takes
//! its mean.
//!
//! A ring buffer: entries are stored in place and the storage is reused, so appending and
//! dropping allocate nothing once the buffer is large enough for the sample rate. When it is
//! full it doubles (the 1 kHz stream of a typical sensor keeps about 1001 entries and never
//! reaches the initial capacity).
class WrenchWindow {
 public:
  static constexpr std::size_t kInitialCapacity = 2048;

  //! capacity is rounded up to a power of two (at least 2).
  explicit WrenchWindow(std::size_t capacity = kInitialCapacity);

  void pushBack(double time, const Wrench6& wrench);
  //! The window must not be empty.
  void popFront();

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::size_t capacity() const { return slots_.size(); }

  //! i = 0 is the oldest entry; i < size().
  const WindowEntry& operator[](std::size_t i) const { return slots_[(head_ + i) & mask_]; }
  const WindowEntry& front() const { return (*this)[0]; }
  const WindowEntry& back() const { return (*this)[count_ - 1]; }

  //! Drops the oldest entries while more than one is left and the oldest lies more than
  //! 1000 ms behind the newest. An entry exactly one second old stays.
  void trimToLastSecond();

  //! At least two entries spanning at least 500 ms: enough data for a tare.
  bool isSufficientForTare() const;

  //! Element-wise mean, summed oldest to newest. The window must not be empty.
  Wrench6 mean() const;

 private:
  void grow();

  std::vector<WindowEntry> slots_;
  std::size_t mask_ = 0;
  std::size_t head_ = 0;  // index of the oldest entry
  std::size_t count_ = 0;
};

}  // namespace zelto
