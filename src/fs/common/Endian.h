#pragma once
// Little- and big-endian fields of on-disk structures. The pointer forms trust the caller's
// bounds; ByteView checks every read against its span and reads outside it as 0.
#include <cstddef>
#include <cstdint>
#include <span>

namespace vel {

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}
inline std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline std::uint64_t be64(const std::uint8_t* p) {
    return (static_cast<std::uint64_t>(be32(p)) << 32) | be32(p + 4);
}
inline bool isPowerOfTwo(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

class ByteView {
  public:
    ByteView() = default;
    ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}
    ByteView(std::span<const std::uint8_t> s) : data_(s.data()), size_(s.size()) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Whether [offset, offset + count) lies inside.
    bool has(std::size_t offset, std::size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    // The part [offset, offset + count), cut at the end; empty when offset is outside.
    ByteView sub(std::size_t offset, std::size_t count = SIZE_MAX) const {
        if (offset > size_) return {};
        return {data_ + offset, count < size_ - offset ? count : size_ - offset};
    }

    std::uint8_t u8(std::size_t o) const { return has(o, 1) ? data_[o] : 0; }
    std::uint16_t le16(std::size_t o) const { return has(o, 2) ? vel::le16(data_ + o) : 0; }
    std::uint32_t le32(std::size_t o) const { return has(o, 4) ? vel::le32(data_ + o) : 0; }
    std::uint64_t le64(std::size_t o) const { return has(o, 8) ? vel::le64(data_ + o) : 0; }
    std::uint16_t be16(std::size_t o) const { return has(o, 2) ? vel::be16(data_ + o) : 0; }
    std::uint32_t be32(std::size_t o) const { return has(o, 4) ? vel::be32(data_ + o) : 0; }
    std::uint64_t be64(std::size_t o) const { return has(o, 8) ? vel::be64(data_ + o) : 0; }

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vel
