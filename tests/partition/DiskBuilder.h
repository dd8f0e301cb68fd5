#pragma once
// A sparse in-memory disk for partition tests: sectors not written read as zeros. Reads past the
// end fail and read nothing, so a scan that asks for bytes beyond the disk notices.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "device/readWriteInterface.h"

namespace vel::test {

class SparseDisk final : public readWriteInterface {
  public:
    explicit SparseDisk(std::int64_t sectors) : sectors_(sectors) {}

    bool openDevice(const std::string&) override { return true; }
    bool seekTo(std::int64_t offset, int origin = SEEK_SET) override {
        if (origin != SEEK_SET) return false;
        position_ = offset + baseOffset;
        return position_ >= 0;
    }
    bool readBytes(void* buffer, std::uint32_t count) override {
        reads.emplace_back(position_, count);
        bool pastFailure = failAt >= 0 && position_ + count > failAt;
        if (pastFailure || position_ + count > sectors_ * 512) {
            errno = EIO;
            return false;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        std::memset(out, 0, count);
        std::int64_t first = position_ / 512, last = (position_ + count - 1) / 512;
        for (auto it = data_.lower_bound(first); it != data_.end() && it->first <= last; ++it) {
            std::int64_t sectorByte = it->first * 512;
            for (int b = 0; b < 512; ++b) {
                std::int64_t at = sectorByte + b - position_;
                if (at >= 0 && at < count) out[at] = it->second[static_cast<std::size_t>(b)];
            }
        }
        position_ += count;
        return true;
    }

    std::vector<unsigned char>& sector(std::int64_t n) {
        auto& s = data_[n];
        if (s.empty()) s.assign(512, 0);
        return s;
    }
    void put(std::int64_t n, const std::vector<unsigned char>& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            sector(n + static_cast<std::int64_t>(i / 512))[i % 512] = bytes[i];
    }
    std::int64_t sectors() const { return sectors_; }

    std::vector<std::pair<std::int64_t, std::uint32_t>> reads;
    std::int64_t failAt = -1;  // reads at or past this byte fail

  private:
    std::int64_t sectors_;
    std::int64_t position_ = 0;
    std::map<std::int64_t, std::vector<unsigned char>> data_;
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
