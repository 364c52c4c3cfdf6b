#pragma once

#include <array>
#include <cstddef>

namespace zelto {

//! A first-in first-out queue of at most Capacity items in a fixed array: nothing is allocated.
//! A push onto a full queue forgets the oldest item.
template <typename T, std::size_t Capacity>
class RingQueue {
 public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  //! The oldest item; the queue must not be empty.
  const T& front() const { return items_[head_]; }

  void push(const T& item) {
    if (count_ == Capacity) pop();
    items_[(head_ + count_) % Capacity] = item;
    ++count_;
  }
  //! Removes the oldest item and returns it; the queue must not be empty.
  T pop() {
    const T item = items_[head_];
    head_ = (head_ + 1) % Capacity;
    --count_;
    return item;
  }

 private:
  std::array<T, Capacity> items_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace zelto
