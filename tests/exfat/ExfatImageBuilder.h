#pragma once
// Small exFAT volumes built byte by byte in memory, and a reader over them, for the rules that
// the tool-made fixtures cannot reach (damaged chains, odd flags, long names).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/RecordingSource.h"

namespace vel::test {

// The image in memory, with every read logged.
class MemoryDevice final : public RecordingSource {
  public:
    explicit MemoryDevice(std::vector<std::uint8_t> bytes) : RecordingSource(std::move(bytes)) {}
    std::vector<std::uint8_t>& bytes() { return source.bytes(); }
};

struct SetFields {
    std::u16string name;
    std::uint16_t attributes = 0x20;
    std::uint8_t flags = 0x03;  // allocation possible, no FAT chain
    std::uint32_t firstCluster = 0;
    std::uint64_t validLength = 0;
    std::uint64_t dataLength = 0;  // 0: same as validLength
    std::uint32_t created = 0, modified = 0, accessed = 0;
    bool deleted = false;
    bool withStream = true;
};

inline std::uint32_t exfatTimestamp(int year, int month, int day, int hour, int minute,
                                    int second) {
    return static_cast<std::uint32_t>((year - 1980) << 25 | month << 21 | day << 16 | hour << 11 |
                                      minute << 5 | second / 2);
}

class ExfatImageBuilder {
  public:
    // 512-byte sectors; clusters of sectorsPerCluster sectors, numbered 2 .. clusters + 1.
    explicit ExfatImageBuilder(std::uint32_t clusters = 64, std::uint8_t spcShift = 3)
        : spcShift_(spcShift), clusters_(clusters) {
        clusterSize_ = 512u << spcShift;
        std::uint32_t fatSectors = (4 * (clusters + 2) + 511) / 512;
        heapOffset_ = fatOffset_ + fatSectors;
        bytes_.assign(static_cast<std::size_t>(heapOffset_) * 512 +
                          static_cast<std::size_t>(clusters) * clusterSize_,
                      0);
        std::uint8_t* b = bytes_.data();
        b[0] = 0xEB;
        b[1] = 0x76;
        b[2] = 0x90;
        std::memcpy(b + 3, "EXFAT   ", 8);
        put32(b + 80, fatOffset_);
        put32(b + 84, fatSectors);
        put32(b + 88, heapOffset_);
        put32(b + 92, clusters);
        put32(b + 96, rootCluster);
        b[108] = 9;
        b[109] = spcShift;
        b[510] = 0x55;
        b[511] = 0xAA;
        setFat(0, 0xFFFFFFF8);
        setFat(1, 0xFFFFFFFF);
    }

    std::uint32_t clusterSize() const { return clusterSize_; }
    std::uint32_t clusters() const { return clusters_; }
    std::uint64_t clusterOffset(std::uint32_t n) const {
        return static_cast<std::uint64_t>(heapOffset_) * 512 +
               static_cast<std::uint64_t>(n - 2) * clusterSize_;
    }
    std::uint8_t* cluster(std::uint32_t n) { return bytes_.data() + clusterOffset(n); }
    std::uint8_t* bootSector() { return bytes_.data(); }

    void setFat(std::uint32_t n, std::uint32_t value) {
        put32(bytes_.data() + static_cast<std::size_t>(fatOffset_) * 512 + 4 * n, value);
    }
    // Links the clusters in order and ends the chain after the last.
    void chain(const std::vector<std::uint32_t>& clusters) {
        for (std::size_t i = 0; i < clusters.size(); ++i)
            setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFFFFFFF);
    }
    // Fills clusters with data in order (the rest of the last stays as it was).
    void fill(const std::vector<std::uint32_t>& clusters, const std::string& data) {
        std::size_t at = 0;
        for (std::uint32_t c : clusters) {
            if (at >= data.size()) break;
            std::size_t n = std::min<std::size_t>(clusterSize_, data.size() - at);
            std::memcpy(cluster(c), data.data() + at, n);
            at += n;
        }
    }

    static std::vector<std::uint8_t> encodeSet(const SetFields& s) {
        std::size_t nameEntries = (s.name.size() + 14) / 15;
        std::vector<std::uint8_t> e(32 * (1 + (s.withStream ? 1 : 0) + nameEntries), 0);
        std::uint8_t mask = s.deleted ? 0x7F : 0xFF;
        e[0] = 0x85 & mask;
        e[1] = static_cast<std::uint8_t>((s.withStream ? 1 : 0) + nameEntries);
        put16(&e[4], s.attributes);
        put32(&e[8], s.created);
        put32(&e[12], s.modified);
        put32(&e[16], s.accessed);
        std::size_t at = 32;
        if (s.withStream) {
            e[at] = 0xC0 & mask;
            e[at + 1] = s.flags;
            e[at + 3] = static_cast<std::uint8_t>(s.name.size());
            put64(&e[at + 8], s.validLength);
            put32(&e[at + 20], s.firstCluster);
            put64(&e[at + 24], s.dataLength ? s.dataLength : s.validLength);
            at += 32;
        }
        for (std::size_t i = 0; i < nameEntries; ++i, at += 32) {
            e[at] = 0xC1 & mask;
            for (std::size_t k = 0; k < 15 && i * 15 + k < s.name.size(); ++k)
                put16(&e[at + 2 + 2 * k], s.name[i * 15 + k]);
        }
        return e;
    }

    // Lays entries one after another over the clusters of a directory (in the order given).
    void writeDirectory(const std::vector<std::uint32_t>& clusters,
                        const std::vector<std::vector<std::uint8_t>>& sets) {
        std::vector<std::uint8_t> all;
        for (const auto& s : sets) all.insert(all.end(), s.begin(), s.end());
        if (all.size() > clusters.size() * clusterSize_) throw std::runtime_error("directory full");
        std::string data(all.begin(), all.end());
        fill(clusters, data);
    }

    std::vector<std::uint8_t> bytes() const { return bytes_; }

    static void put16(std::uint8_t* p, std::uint16_t v) {
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
    }
    static void put32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static void put64(std::uint8_t* p, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

    static constexpr std::uint32_t rootCluster = 2;

  private:
    std::uint8_t spcShift_;
    std::uint32_t clusters_;
    std::uint32_t clusterSize_;
    std::uint32_t fatOffset_ = 8;
    std::uint32_t heapOffset_ = 0;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace vel::test
