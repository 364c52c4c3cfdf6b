#pragma once

// Replaces the global allocation functions of a test executable (link AllocationFailure.cpp)
// so that a test can make one chosen allocation fail with std::bad_alloc.

#include <cstddef>

namespace zelto::test {

//! The next allocation of exactly `size` bytes throws std::bad_alloc; 0 disarms.
void failNextAllocationOfSize(std::size_t size);

}  // namespace zelto::test
