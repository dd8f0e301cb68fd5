#pragma once
// GPT headers and entry arrays decoded from byte buffers, checksums included; nothing here reads a
// device. Every decoder reads only the bytes its argument is documented to hold.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vel::gpt {

// Header fields (little-endian), in the header's sector.
inline constexpr std::size_t kSignature = 0;  // "EFI PART"
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kHeaderCrc = 16;  // over kHeaderSize bytes, this field as zero
inline constexpr std::size_t kMyLba = 24;
inline constexpr std::size_t kAlternateLba = 32;
inline constexpr std::size_t kArrayLba = 72;
inline constexpr std::size_t kEntryCount = 80;
inline constexpr std::size_t kEntrySize = 84;
inline constexpr std::size_t kArrayCrc = 88;
// Entry fields.
inline constexpr std::size_t kEntryFirstLba = 32;
inline constexpr std::size_t kEntryLastLba = 40;
inline constexpr std::size_t kEntryName = 56;  // 36 UTF-16 units
// The MBR type of the one entry that guards a GPT disk.
inline constexpr std::uint8_t kProtectiveType = 0xEE;

struct Header {
    std::uint64_t myLba = 0;
    std::uint64_t alternateLba = 0;
    std::uint64_t arrayLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entrySize = 0;
    std::uint32_t arrayCrc = 0;
    bool crcHolds = false;  // the header's own checksum
    std::size_t arrayBytes() const { return std::size_t{entryCount} * entrySize; }
};

// A header from its 512-byte sector: nullopt unless it reads "EFI PART", gives a header size of
// 92 to 512 bytes and an array of 1 to 4096 entries of 128 to 4096 bytes (a multiple of 8) that
// starts at LBA 2 or later. Its checksum is reported, not required.
std::optional<Header> decodeHeader(const std::uint8_t* sector);

// CRC-32 as GPT (and zip) computes it.
std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

}  // namespace vel::gpt
