#pragma once
// LZNT1, the compression of NTFS compression units.
#include <cstddef>
#include <cstdint>

namespace vel {

struct DecompressionContext {
    const std::uint8_t* input = nullptr;
    std::size_t inputLength = 0;
    std::uint8_t* output = nullptr;
    std::size_t outputCapacity = 0;
    std::size_t outputCount = 0;
};

// 0 on success; 1 when input or output ran out in the middle of a chunk, or a back-reference
// points before the chunk. Output never passes the capacity.
int decompressUnit(DecompressionContext& context);

}  // namespace vel
