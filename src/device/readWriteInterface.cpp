#include "device/readWriteInterface.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vel {

namespace {

constexpr std::size_t kRetryPiece = 64 * 1024;
thread_local ReadDamageScope* currentScope = nullptr;

// [offset, offset + count) without overflowing; the end is clamped to the largest offset.
std::int64_t endOf(std::int64_t offset, std::size_t count) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (count > static_cast<std::uint64_t>(kMax) ||
        offset > kMax - static_cast<std::int64_t>(count))
        return kMax;
    return offset + static_cast<std::int64_t>(count);
}

}  // namespace

bool BadSectorList::add(std::int64_t sector) {
    std::function<void(std::int64_t, std::int64_t)> listener;
    std::int64_t total = 0;
    {
        std::lock_guard lock(mutex_);
        if (!sectors_.insert(sector).second) return false;
        total = static_cast<std::int64_t>(sectors_.size());
        listener = listener_;
    }
    if (listener) listener(sector, total);
    return true;
}

std::int64_t BadSectorList::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::int64_t>(sectors_.size());
}

std::vector<std::int64_t> BadSectorList::sectors() const {
    std::lock_guard lock(mutex_);
    return {sectors_.begin(), sectors_.end()};
}

bool BadSectorList::contains(std::int64_t sector) const {
    std::lock_guard lock(mutex_);
    return sectors_.count(sector) != 0;
}

void BadSectorList::setListener(std::function<void(std::int64_t, std::int64_t)> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

ReadDamageScope::ReadDamageScope() : outer_(currentScope) {
    currentScope = this;
}

ReadDamageScope::~ReadDamageScope() {
    currentScope = outer_;
}

void ReadDamageScope::add(Ranges& ranges, std::int64_t offset, std::int64_t bytes) {
    if (!ranges.empty() && ranges.back().second == offset)
        ranges.back().second += bytes;
    else
        ranges.emplace_back(offset, offset + bytes);
}

void ReadDamageScope::noteUnreadable(std::int64_t deviceOffset, std::int64_t bytes) {
    ReadDamageScope* s = currentScope;
    if (!s || bytes <= 0) return;
    s->unreadable_ += static_cast<std::uint64_t>(bytes);
    add(s->ranges_, deviceOffset, bytes);
}

void ReadDamageScope::noteMissing(std::int64_t deviceOffset, std::int64_t bytes) {
    ReadDamageScope* s = currentScope;
    if (!s || bytes <= 0) return;
    s->missing_ += static_cast<std::uint64_t>(bytes);
    add(s->missingRanges_, deviceOffset, bytes);
}

ReadOutcome SectorSource::readAt(std::int64_t offset, void* buffer, std::size_t count) const {
    ReadOutcome r;
    r.requested = count;
    if (count == 0) return r;
    auto* out = static_cast<unsigned char*>(buffer);
    const std::int64_t end =
        size_ > 0 ? std::min(endOf(offset, count), size_) : endOf(offset, count);
    const std::int64_t start = std::max<std::int64_t>(offset, 0);
    // Only what is not read is zeroed: clearing a large block first costs as much as a cached
    // read of it.
    const auto lead = static_cast<std::size_t>(
        std::min<std::int64_t>(start - offset, static_cast<std::int64_t>(count)));
    std::memset(out, 0, lead);
    std::int64_t pos = start;
    while (pos < end) {
        std::int64_t n = readSome(pos, out + (pos - offset), static_cast<std::size_t>(end - pos));
        if (n > 0) {
            pos += n;
            continue;
        }
        if (n < 0) {
            r.unreadableBytes =
                readPieces(pos, out + (pos - offset), static_cast<std::size_t>(end - pos));
            pos = end;
        }
        break;
    }
    const auto filled = static_cast<std::size_t>(std::max(pos, start) - offset);
    if (filled < count) std::memset(out + filled, 0, count - filled);
    r.inSource = pos > start ? static_cast<std::size_t>(pos - start) : 0;
    if (r.inSource < count) {
        // Before the first byte, and past the last one the source gave.
        if (offset < 0)
            ReadDamageScope::noteMissing(
                offset, std::min<std::int64_t>(-offset, static_cast<std::int64_t>(count)));
        const std::int64_t tail = std::max(pos, start);
        const std::int64_t askedEnd = endOf(offset, count);
        if (askedEnd > tail) ReadDamageScope::noteMissing(tail, askedEnd - tail);
    }
    return r;
}

bool SectorSource::readWhole(std::int64_t offset, unsigned char* out, std::size_t count) const {
    std::size_t done = 0;
    while (done < count) {
        std::int64_t n =
            readSome(offset + static_cast<std::int64_t>(done), out + done, count - done);
        if (n < 0) return false;
        if (n == 0) {  // the end: the rest is zeros
            std::memset(out + done, 0, count - done);
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t SectorSource::readPieces(std::int64_t offset, unsigned char* out,
                                       std::size_t count) const {
    std::uint64_t unreadable = 0;
    const std::int64_t end = offset + static_cast<std::int64_t>(count);
    // Pieces first, then single sectors of the pieces that fail: a bad spot costs a few reads.
    for (std::int64_t piece = offset; piece < end;) {
        std::int64_t pieceEnd = std::min<std::int64_t>(
            end, (piece / kRetryPiece + 1) * static_cast<std::int64_t>(kRetryPiece));
        unsigned char* p = out + (piece - offset);
        if (!readWhole(piece, p, static_cast<std::size_t>(pieceEnd - piece))) {
            std::memset(p, 0, static_cast<std::size_t>(pieceEnd - piece));
            for (std::int64_t s = piece; s < pieceEnd;) {
                std::int64_t sEnd = std::min(pieceEnd, (s / kSectorBytes + 1) * kSectorBytes);
                unsigned char* q = out + (s - offset);
                if (!readWhole(s, q, static_cast<std::size_t>(sEnd - s))) {
                    std::memset(q, 0, static_cast<std::size_t>(sEnd - s));
                    unreadable += static_cast<std::uint64_t>(sEnd - s);
                    bad_.add(s / kSectorBytes);
                    ReadDamageScope::noteUnreadable(s, sEnd - s);
                }
                s = sEnd;
            }
        }
        piece = pieceEnd;
    }
    return unreadable;
}

MemorySource::MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
    resized();
}

MemorySource::MemorySource(const std::string& bytes) : bytes_(bytes.begin(), bytes.end()) {
    resized();
}

MemorySource::MemorySource(Sparse disk) : sparse_(true) {
    setByteSize(disk.bytes);
}

std::vector<std::uint8_t>& MemorySource::sector(std::int64_t n) {
    auto& s = sectors_[n];
    if (s.empty()) s.assign(static_cast<std::size_t>(kSectorBytes), 0);
    return s;
}

void MemorySource::put(std::int64_t offset, const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (!sparse_) {
        if (bytes_.size() < offset + count) {
            bytes_.resize(static_cast<std::size_t>(offset) + count, 0);
            resized();
        }
        std::memcpy(bytes_.data() + offset, p, count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t at = offset + static_cast<std::int64_t>(i);
        sector(at / kSectorBytes)[static_cast<std::size_t>(at % kSectorBytes)] = p[i];
    }
}

std::int64_t MemorySource::readSome(std::int64_t offset, void* buffer, std::size_t count) const {
    const std::int64_t size = byteSize();
    if (offset < 0 || failAll_) return -1;
    if (offset >= size) return 0;
    const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset);
    if (!failing_.empty()) {
        auto it = failing_.lower_bound(offset / kSectorBytes);
        if (it != failing_.end() && *it <= (offset + n - 1) / kSectorBytes) return -1;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (!sparse_) {
        std::memcpy(out, bytes_.data() + offset, static_cast<std::size_t>(n));
        return n;
    }
    std::memset(out, 0, static_cast<std::size_t>(n));
    const std::int64_t first = offset / kSectorBytes, last = (offset + n - 1) / kSectorBytes;
    for (auto it = sectors_.lower_bound(first); it != sectors_.end() && it->first <= last; ++it) {
        const std::int64_t from = std::max(offset, it->first * kSectorBytes);
        const std::int64_t to = std::min(offset + n, (it->first + 1) * kSectorBytes);
        std::memcpy(out + (from - offset), it->second.data() + (from - it->first * kSectorBytes),
                    static_cast<std::size_t>(to - from));
    }
    return n;
}

ReadOutcome VolumeView::readAt(std::int64_t offset, void* buffer, std::size_t count) const {
    ReadOutcome r;
    r.requested = count;
    auto* out = static_cast<unsigned char*>(buffer);
    // A volume never reaches before its own start, nor past the largest offset.
    std::size_t skip = 0;
    const std::int64_t asked = offset;
    if (offset < 0) {
        const std::uint64_t before = static_cast<std::uint64_t>(-(offset + 1)) + 1;
        skip = before >= count ? count : static_cast<std::size_t>(before);
        offset = 0;
    }
    if (!source_ || skip == count || offset > std::numeric_limits<std::int64_t>::max() - start_) {
        std::memset(out, 0, count);
        ReadDamageScope::noteMissing(asked, static_cast<std::int64_t>(count));
        return r;
    }
    std::memset(out, 0, skip);
    if (skip > 0) ReadDamageScope::noteMissing(start_ + asked, static_cast<std::int64_t>(skip));
    ReadOutcome inner = source_->readAt(start_ + offset, out + skip, count - skip);
    r.inSource = inner.inSource;
    r.unreadableBytes = inner.unreadableBytes;
    return r;
}

std::int64_t VolumeView::byteSize() const {
    if (length_ > 0) return length_;
    if (!source_) return 0;
    return std::max<std::int64_t>(0, source_->byteSize() - start_);
}

const BadSectorList& VolumeView::badSectors() const {
    static const BadSectorList none;
    return source_ ? source_->badSectors() : none;
}

}  // namespace vel
