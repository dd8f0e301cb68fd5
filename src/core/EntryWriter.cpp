#include "core/EntryWriter.h"

#include <algorithm>
#include <cstring>

namespace vel {

bool EntryWriter::writeZeros(std::uint64_t size) {
    static const std::uint8_t zeros[65536] = {};
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof zeros));
        if (!write(zeros, n)) return false;
        size -= n;
    }
    return true;
}

bool MemoryWriter::write(const void* data, std::size_t size) {
    const std::size_t room = limit_ - bytes_.size();
    const std::size_t take = std::min(room, size);
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + take);
    if (take < size) truncated_ = true;
    return take == size;
}

bool MemoryWriter::writeZeros(std::uint64_t size) {
    const std::size_t room = limit_ - bytes_.size();
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(room, size));
    bytes_.resize(bytes_.size() + take, 0);
    if (take < size) truncated_ = true;
    return take == size;
}

bool HashingWriter::write(const void* data, std::size_t size) {
    if (!next_.write(data, size)) return false;
    hash_.update(data, size);
    return true;
}

bool HashingWriter::writeZeros(std::uint64_t size) {
    if (!next_.writeZeros(size)) return false;
    hash_.updateZeros(size);
    return true;
}

}  // namespace vel
