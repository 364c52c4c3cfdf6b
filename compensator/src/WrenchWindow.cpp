#include "WrenchWindow.h"

#include <utility>

namespace zelto {
namespace {

std::size_t powerOfTwoAtLeast(std::size_t n) {
  std::size_t p = 2;
  while (p < n) {
    p *= 2;
  }
  return p;
}

}  // namespace

WrenchWindow::WrenchWindow(std::size_t capacity) : slots_(powerOfTwoAtLeast(capacity)) {
  mask_ = slots_.size() - 1;
}

void WrenchWindow::pushBack(double time, const Wrench6& wrench) {
  if (count_ == slots_.size()) {
    grow();
  }
  WindowEntry& slot = slots_[(head_ + count_) & mask_];
  slot.time = time;
  slot.wrench = wrench;
  ++count_;
}

void WrenchWindow::popFront() {
  head_ = (head_ + 1) & mask_;
  --count_;
}

void WrenchWindow::trimToLastSecond() {
  // Compared in milliseconds, (newest − oldest)·1000 > 1000: for times 0.0 and 1.0 the
  // product is exactly 1000, so an entry one second old stays.
  const double newest = back().time;
  while (count_ > 1 && (newest - front().time) * 1000.0 > 1000.0) {
    popFront();
  }
}

bool WrenchWindow::isSufficientForTare() const {
  return count_ >= 2 && (back().time - front().time) * 1000.0 >= 500.0;
}

Wrench6 WrenchWindow::mean() const {
  Wrench6 sum = Wrench6::Zero();
  for (std::size_t i = 0; i < count_; ++i) {
    sum += (*this)[i].wrench;
  }
  return sum / static_cast<double>(count_);
}

void WrenchWindow::grow() {
  // Only when the sample rate needs more room than the window has had so far.
  std::vector<WindowEntry> larger(slots_.size() * 2);
  for (std::size_t i = 0; i < count_; ++i) {
    larger[i] = (*this)[i];
  }
  slots_ = std::move(larger);
  mask_ = slots_.size() - 1;
  head_ = 0;
}

}  // namespace zelto
