#include "device/image/EwfChunks.h"

#include <zlib.h>

#include <cstring>

#include "fs/common/Endian.h"

namespace vel::ewf {

namespace {
constexpr std::size_t kChecksumBytes = 4;
}  // namespace

std::optional<StoredChunk> decodeChunk(const std::uint8_t* data, std::size_t size,
                                       std::uint8_t* out, std::size_t chunkBytes) {
    // A zlib stream opens with a header whose two bytes are a multiple of 31, deflate method 8.
    if (size >= 2 && (data[0] & 0x0f) == 8 && ((data[0] << 8) | data[1]) % 31 == 0) {
        z_stream z{};
        if (inflateInit(&z) == Z_OK) {
            z.next_in = const_cast<Bytef*>(data);
            z.avail_in = static_cast<uInt>(size > UINT32_MAX ? UINT32_MAX : size);
            z.next_out = out;
            z.avail_out = static_cast<uInt>(chunkBytes);
            const int end = inflate(&z, Z_FINISH);
            const std::size_t produced = chunkBytes - z.avail_out;
            const std::size_t consumed = static_cast<std::size_t>(z.total_in);
            inflateEnd(&z);
            if (end == Z_STREAM_END && produced == chunkBytes) return StoredChunk{consumed, true};
        }
    }
    if (size < chunkBytes + kChecksumBytes) return std::nullopt;
    const uLong sum = adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(chunkBytes));
    if (sum != le32(data + chunkBytes)) return std::nullopt;
    std::memcpy(out, data, chunkBytes);
    return StoredChunk{chunkBytes + kChecksumBytes, false};
}

}  // namespace vel::ewf
