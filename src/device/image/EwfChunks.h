#pragma once
// Chunks of an EWF segment whose chunk table is lost (the file was cut short before it), found
// by walking the sector data from its start. A chunk is stored either as a zlib stream that
// inflates to the chunk, or as the chunk itself followed by its Adler-32 (little-endian). Every
// read is bounded by the bytes given; nothing here touches a file.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vel::ewf {

struct StoredChunk {
    std::size_t storedBytes = 0;  // what it takes in the segment
    bool compressed = false;
};

// The chunk at the start of data (size bytes, possibly fewer than it needs), decoded into out
// (chunkBytes bytes, the size this chunk has in the media); nullopt when data holds no whole,
// checked chunk there.
std::optional<StoredChunk> decodeChunk(const std::uint8_t* data, std::size_t size,
                                       std::uint8_t* out, std::size_t chunkBytes);

}  // namespace vel::ewf
