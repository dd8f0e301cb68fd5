#include "fs/ntfs/Lznt1.h"

#include <algorithm>
#include <cstring>

namespace vel {

namespace {
constexpr std::size_t kChunkOutput = 4096;
}

int decompressUnit(DecompressionContext& c) {
    std::size_t in = 0, out = 0;
    c.outputCount = 0;
    while (in + 2 <= c.inputLength) {
        const std::uint16_t header =
            static_cast<std::uint16_t>(c.input[in] | (c.input[in + 1] << 8));
        if ((header & 0x0FFF) == 0) break;
        const std::size_t chunkEnd = std::min(in + (header & 0x0FFF) + 3, c.inputLength);
        const bool truncated = in + (header & 0x0FFF) + 3 > c.inputLength;
        in += 2;
        const std::size_t chunkStart = out;
        if (!(header & 0x8000)) {
            const std::size_t n = chunkEnd - in;
            const std::size_t room = c.outputCapacity - out;
            std::memcpy(c.output + out, c.input + in, std::min(n, room));
            out += std::min(n, room);
            c.outputCount = out;
            if (n > room || truncated) return 1;
            in = chunkEnd;
            continue;
        }
        while (in < chunkEnd) {
            const std::uint8_t flags = c.input[in++];
            for (int bit = 0; bit < 8 && in < chunkEnd; ++bit) {
                if (!(flags & (1u << bit))) {
                    if (out >= c.outputCapacity) {
                        c.outputCount = out;
                        return 1;
                    }
                    c.output[out++] = c.input[in++];
                    continue;
                }
                if (in + 2 > chunkEnd) {
                    c.outputCount = out;
                    return 1;
                }
                const std::uint16_t token =
                    static_cast<std::uint16_t>(c.input[in] | (c.input[in + 1] << 8));
                in += 2;
                const std::size_t pos = out - chunkStart;
                unsigned lengthBits = 12;
                for (std::size_t p = pos == 0 ? 0 : pos - 1; p >= 0x10; p >>= 1) --lengthBits;
                const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
                const std::size_t displacement = (token >> lengthBits) + 1u;
                if (displacement > pos) {
                    c.outputCount = out;
                    return 1;
                }
                for (std::size_t k = 0; k < length; ++k) {
                    if (out >= c.outputCapacity) {
                        c.outputCount = out;
                        return 1;
                    }
                    c.output[out] = c.output[out - displacement];
                    ++out;
                }
            }
        }
        c.outputCount = out;
        if (truncated) return 1;
        // A chunk that ends short of 4096 bytes is followed by zeros up to the next chunk.
        if (in + 2 <= c.inputLength && (c.input[in] | (c.input[in + 1] << 8)) != 0) {
            const std::size_t end = std::min(chunkStart + kChunkOutput, c.outputCapacity);
            if (out < end) {
                std::memset(c.output + out, 0, end - out);
                out = end;
            }
        }
    }
    c.outputCount = out;
    return 0;
}

}  // namespace vel
