#pragma once
// Big-endian fields of on-disk structures held in memory. A BigEndianView never reads outside
// the bytes it was given: a field that does not fit whole reads as 0, and fits() tells beforehand.
#include <cstddef>
#include <cstdint>

namespace vel {

namespace be {
inline std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t u32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline std::uint64_t u64(const std::uint8_t* p) {
    return (static_cast<std::uint64_t>(u32(p)) << 32) | u32(p + 4);
}
}  // namespace be

class BigEndianView {
  public:
    BigEndianView() = default;
    BigEndianView(const std::uint8_t* data, std::size_t size)
        : data_(data), size_(data ? size : 0) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool fits(std::size_t offset, std::size_t width) const {
        return offset <= size_ && width <= size_ - offset;
    }

    std::uint8_t u8(std::size_t offset) const { return fits(offset, 1) ? data_[offset] : 0; }
    std::int8_t s8(std::size_t offset) const { return static_cast<std::int8_t>(u8(offset)); }
    std::uint16_t u16(std::size_t offset) const {
        return fits(offset, 2) ? be::u16(data_ + offset) : 0;
    }
    std::uint32_t u32(std::size_t offset) const {
        return fits(offset, 4) ? be::u32(data_ + offset) : 0;
    }
    std::uint64_t u64(std::size_t offset) const {
        return fits(offset, 8) ? be::u64(data_ + offset) : 0;
    }

    // The bytes from offset on, at most size of them (empty when offset is outside).
    BigEndianView sub(std::size_t offset, std::size_t size = SIZE_MAX) const {
        if (offset > size_) return {};
        std::size_t rest = size_ - offset;
        return {data_ + offset, size < rest ? size : rest};
    }

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vel
