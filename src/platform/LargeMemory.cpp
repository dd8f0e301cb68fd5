#include "platform/LargeMemory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace vel {

void* allocateLargeBlock() {
    void* block = std::aligned_alloc(kLargeBlockBytes, kLargeBlockBytes);
    if (!block) throw std::bad_alloc();
    // Only a hint: without transparent huge pages the block is used as it is.
    ::madvise(block, kLargeBlockBytes, MADV_HUGEPAGE);
    return block;
}

void freeLargeBlock(void* block) {
    std::free(block);
}

}  // namespace vel
