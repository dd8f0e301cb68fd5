#pragma once
// Memory for large tables that grow in big blocks (a scan's records of a million files): each
// block is asked for in huge pages where the system allows, since faulting in 4 KiB pages one by
// one was a fifth of a scan's time.
#include <cstddef>

namespace vel {

inline constexpr std::size_t kLargeBlockBytes = 2u << 20;

// kLargeBlockBytes, uninitialised; never null (throws std::bad_alloc).
void* allocateLargeBlock();
void freeLargeBlock(void* block);

}  // namespace vel
