#pragma once
// Builds MFT records and small in-memory volumes byte by byte for the NTFS tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/readWriteInterface.h"

namespace vel::test {

using MemoryReader = MemorySource;

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v));
    put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

// One 1024-byte record with a three-element update sequence at 0x30 and attributes from 0x38.
class RecordBuilder {
  public:
    explicit RecordBuilder(std::uint16_t flags = 0x0001) : rec(1024, 0) {
        std::memcpy(rec.data(), "FILE", 4);
        put16(rec, 4, 0x30);
        put16(rec, 6, 3);
        put16(rec, 0x14, 0x38);
        put16(rec, 0x16, flags);
    }
    RecordBuilder& resident(std::uint32_t type, const std::vector<std::uint8_t>& value,
                            std::uint8_t nameLength = 0) {
        std::uint32_t length =
            (0x18 + 2 * nameLength + static_cast<std::uint32_t>(value.size()) + 7) & ~7u;
        put32(rec, pos_, type);
        put32(rec, pos_ + 4, length);
        rec[pos_ + 9] = nameLength;
        put32(rec, pos_ + 0x10, static_cast<std::uint32_t>(value.size()));
        put16(rec, pos_ + 0x14, static_cast<std::uint16_t>(0x18 + 2 * nameLength));
        std::memcpy(rec.data() + pos_ + 0x18 + 2 * nameLength, value.data(), value.size());
        pos_ += length;
        return *this;
    }
    RecordBuilder& nonResident(std::uint32_t type, const std::vector<std::uint8_t>& runs,
                               std::uint64_t lastVcn, std::uint64_t realSize,
                               std::uint16_t flags = 0, std::uint16_t unitExponent = 0,
                               std::uint64_t startVcn = 0) {
        std::uint32_t length = (0x40 + static_cast<std::uint32_t>(runs.size()) + 1 + 7) & ~7u;
        put32(rec, pos_, type);
        put32(rec, pos_ + 4, length);
        rec[pos_ + 8] = 1;
        put16(rec, pos_ + 0x0C, flags);
        put64(rec, pos_ + 0x10, startVcn);
        put64(rec, pos_ + 0x18, lastVcn);
        put16(rec, pos_ + 0x20, 0x40);
        put16(rec, pos_ + 0x22, unitExponent);
        put64(rec, pos_ + 0x28, (lastVcn + 1) * 4096);
        put64(rec, pos_ + 0x30, realSize);
        put64(rec, pos_ + 0x38, realSize);
        std::memcpy(rec.data() + pos_ + 0x40, runs.data(), runs.size());
        pos_ += length;
        return *this;
    }
    RecordBuilder& fileName(std::int64_t parent, const std::u16string& name, bool directory = false,
                            std::uint8_t nameSpace = 1, std::uint32_t attributes = 0x20) {
        std::vector<std::uint8_t> v(0x42 + 2 * name.size(), 0);
        put64(v, 0, static_cast<std::uint64_t>(parent) & 0xFFFFFFFFFFFFull);
        put64(v, 0x28, 8192);
        put32(v, 0x38, attributes | (directory ? 0x10000000u : 0u));
        v[0x40] = static_cast<std::uint8_t>(name.size());
        v[0x41] = nameSpace;
        for (std::size_t i = 0; i < name.size(); ++i) put16(v, 0x42 + 2 * i, name[i]);
        return resident(0x30, v);
    }
    RecordBuilder& standardInformation(std::uint64_t created, std::uint64_t modified,
                                       std::uint64_t accessed) {
        std::vector<std::uint8_t> v(0x48, 0);
        put64(v, 0, created);
        put64(v, 8, modified);
        put64(v, 0x10, modified);
        put64(v, 0x18, accessed);
        return resident(0x10, v);
    }
    // Ends the attributes and protects the sector tails as the disk holds them.
    std::vector<std::uint8_t> finish(std::uint16_t sequence = 0x0A0B) {
        put32(rec, pos_, 0xFFFFFFFF);
        put16(rec, 0x30, sequence);
        for (int k = 1; k <= 2; ++k) {
            std::size_t tail = static_cast<std::size_t>(k) * 512 - 2;
            rec[0x30 + 2 * k] = rec[tail];
            rec[0x30 + 2 * k + 1] = rec[tail + 1];
            put16(rec, tail, sequence);
        }
        return rec;
    }
    std::uint32_t position() const { return pos_; }

    std::vector<std::uint8_t> rec;

  private:
    std::uint32_t pos_ = 0x38;
};

}  // namespace vel::test
