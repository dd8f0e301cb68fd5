#pragma once
// A sparse in-memory disk for partition tests: sectors not written read as zeros; every read is
// logged.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/RecordingSource.h"

namespace vel::test {

class SparseDisk final : public RecordingSource {
  public:
    explicit SparseDisk(std::int64_t sectors)
        : RecordingSource(MemorySource::Sparse{sectors * 512}), sectors_(sectors) {}

    std::vector<unsigned char>& sector(std::int64_t n) { return source.sector(n); }
    void put(std::int64_t n, const std::vector<unsigned char>& bytes) {
        source.put(n * 512, bytes.data(), bytes.size());
    }
    std::int64_t sectors() const { return sectors_; }

  private:
    std::int64_t sectors_;
};

inline void putLe16(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
inline void putLe32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void putLe64(std::vector<unsigned char>& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void putBe32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// Boot sectors as the formatting tools write them (only the fields that matter here).
inline std::vector<unsigned char> ntfsBoot(std::uint64_t totalSectors) {
    std::vector<unsigned char> b(512, 0);
    b[0] = 0xEB, b[1] = 0x52, b[2] = 0x90;
    std::memcpy(&b[3], "NTFS    ", 8);
    putLe16(b, 11, 512);
    b[13] = 8;
    putLe64(b, 40, totalSectors);
    b[510] = 0x55, b[511] = 0xAA;
    return b;
}

inline std::vector<unsigned char> fatBoot(bool fat32, std::uint32_t totalSectors,
                                          const char* oem = "mkfs.fat", unsigned fatSize = 32) {
    std::vector<unsigned char> b(512, 0);
    b[0] = 0xEB, b[1] = fat32 ? 0x58 : 0x3C, b[2] = 0x90;
    std::memcpy(&b[3], oem, std::strlen(oem) < 8 ? std::strlen(oem) : 8);
    putLe16(b, 11, 512);
    b[13] = fat32 ? 1 : 4;
    putLe16(b, 14, fat32 ? 32 : 4);
    b[16] = 2;
    b[21] = 0xF8;
    if (fat32) {
        putLe32(b, 32, totalSectors);
        putLe32(b, 36, fatSize);
    } else {
        putLe16(b, 17, 512);
        putLe16(b, 22, fatSize);
        if (totalSectors < 65536)
            putLe16(b, 19, totalSectors);
        else
            putLe32(b, 32, totalSectors);
    }
    b[510] = 0x55, b[511] = 0xAA;
    return b;
}

inline std::vector<unsigned char> exfatBoot(std::uint64_t length) {
    std::vector<unsigned char> b(512, 0);
    b[0] = 0xEB, b[1] = 0x76, b[2] = 0x90;
    std::memcpy(&b[3], "EXFAT   ", 8);
    putLe64(b, 72, length);
    b[108] = 9;
    b[510] = 0x55, b[511] = 0xAA;
    return b;
}

// The first sector of an ext superblock (it sits 1024 bytes into the volume).
inline std::vector<unsigned char> extSuper(std::uint32_t blocks, unsigned logBlock = 2,
                                           unsigned group = 0) {
    std::vector<unsigned char> s(512, 0);
    putLe32(s, 0, 1024);
    putLe32(s, 4, blocks);
    putLe32(s, 20, logBlock == 0 ? 1 : 0);
    putLe32(s, 24, logBlock);
    putLe32(s, 32, 8192);
    putLe32(s, 40, 1024);
    putLe16(s, 56, 0xEF53);
    putLe32(s, 76, 1);
    putLe16(s, 88, 256);  // inode size
    putLe16(s, 90, group);
    return s;
}

inline std::vector<unsigned char> hfsHeader(std::uint32_t blockSize, std::uint32_t blocks) {
    std::vector<unsigned char> h(512, 0);
    h[0] = 'H', h[1] = '+', h[2] = 0, h[3] = 4;
    putBe32(h, 40, blockSize);
    putBe32(h, 44, blocks);
    return h;
}

}  // namespace vel::test
