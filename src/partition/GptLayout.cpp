#include "partition/GptLayout.h"

#include <array>
#include <cstring>

#include "fs/common/Endian.h"

namespace vel::gpt {

namespace {
constexpr std::uint32_t kMinHeaderSize = 92;
constexpr std::uint32_t kMaxEntries = 4096;
constexpr std::uint64_t kMaxLba = std::uint64_t{1} << 54;

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::optional<Header> decodeHeader(const std::uint8_t* s) {
    if (std::memcmp(s + kSignature, "EFI PART", 8) != 0) return std::nullopt;
    const std::uint32_t headerSize = le32(s + kHeaderSize);
    if (headerSize < kMinHeaderSize || headerSize > 512) return std::nullopt;
    Header h;
    h.myLba = le64(s + kMyLba);
    h.alternateLba = le64(s + kAlternateLba);
    h.arrayLba = le64(s + kArrayLba);
    h.entryCount = le32(s + kEntryCount);
    h.entrySize = le32(s + kEntrySize);
    h.arrayCrc = le32(s + kArrayCrc);
    if (h.entryCount == 0 || h.entryCount > kMaxEntries) return std::nullopt;
    if (h.entrySize < 128 || h.entrySize > 4096 || h.entrySize % 8 != 0) return std::nullopt;
    if (h.arrayLba < 2 || h.arrayLba >= kMaxLba || h.myLba >= kMaxLba) return std::nullopt;
    std::uint8_t copy[512];
    std::memcpy(copy, s, headerSize);
    std::memset(copy + kHeaderCrc, 0, 4);
    h.crcHolds = crc32(copy, headerSize) == le32(s + kHeaderCrc);
    return h;
}

}  // namespace vel::gpt
