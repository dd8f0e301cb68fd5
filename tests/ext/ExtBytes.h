#pragma once
// Little-endian byte building for the ext tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vel::test {

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A directory entry at b[at]: inode, record length, name (length and type bytes).
inline void putDirent(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t inode,
                      std::uint16_t recLen, const std::string& name, std::uint8_t type) {
    put32(b, at, inode);
    put16(b, at + 4, recLen);
    b[at + 6] = static_cast<std::uint8_t>(name.size());
    b[at + 7] = type;
    std::memcpy(b.data() + at + 8, name.data(), name.size());
}

// An extent-tree node header at b[at].
inline void putExtentHeader(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t entries,
                            std::uint16_t max, std::uint16_t depth) {
    put16(b, at, 0xF30A);
    put16(b, at + 2, entries);
    put16(b, at + 4, max);
    put16(b, at + 6, depth);
}
// Leaf entry i of the node at b[at].
inline void putExtent(std::vector<std::uint8_t>& b, std::size_t at, std::size_t i,
                      std::uint32_t logical, std::uint16_t length, std::uint64_t start) {
    std::size_t e = at + 12 * (i + 1);
    put32(b, e, logical);
    put16(b, e + 4, length);
    put16(b, e + 6, static_cast<std::uint16_t>(start >> 32));
    put32(b, e + 8, static_cast<std::uint32_t>(start));
}
// Index entry i of the node at b[at].
inline void putExtentIndex(std::vector<std::uint8_t>& b, std::size_t at, std::size_t i,
                           std::uint32_t logical, std::uint64_t child) {
    std::size_t e = at + 12 * (i + 1);
    put32(b, e, logical);
    put32(b, e + 4, static_cast<std::uint32_t>(child));
    put16(b, e + 8, static_cast<std::uint16_t>(child >> 32));
}

}  // namespace vel::test
