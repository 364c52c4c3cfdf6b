#include "AllocationFailure.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Kept in a translation unit of its own: the replaced functions must not be inlined into
// code that the compiler then checks for matching allocation and deallocation calls.

namespace {
std::atomic<std::size_t> g_failSize{0};
}  // namespace

namespace zelto::test {

void failNextAllocationOfSize(std::size_t size) {
  g_failSize.store(size, std::memory_order_relaxed);
}

}  // namespace zelto::test

void* operator new(std::size_t size) {
  std::size_t armed = size;
  // Exactly one allocation of the armed size fails, even with several threads allocating.
  if (size != 0 && g_failSize.compare_exchange_strong(armed, 0, std::memory_order_relaxed)) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return operator new(size); }

void operator delete(void* p) noexcept { std::free(p); }

void operator delete[](void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }

void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
