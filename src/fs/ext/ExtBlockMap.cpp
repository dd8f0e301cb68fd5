#include "fs/ext/ExtBlockMap.h"

#include <unordered_set>

#include "fs/ext/ExtLayout.h"

namespace vel::extfmt {

namespace {

class ExtentWalk {
  public:
    ExtentWalk(const MapLimits& l, const ReadBlock& r, const VisitRun& v)
        : limits_(l), read_(r), visit_(v), buffers_(kMaxExtentDepth) {}

    MapResult run(const std::uint8_t* area) {
        node(area, kBlockAreaSize, -1, 0);
        return result_;
    }

  private:
    bool inVolume(std::uint64_t start, std::uint64_t count) const {
        return start != 0 && start < limits_.blockCount && count <= limits_.blockCount - start;
    }

    // False when the visitor ended the walk.
    bool node(const std::uint8_t* data, std::size_t size, int expectedDepth, std::size_t level) {
        auto header = parseExtentHeader(data, size);
        if (!header || (expectedDepth >= 0 && header->depth != expectedDepth)) {
            result_.complete = false;
            return true;
        }
        if (header->depth == 0) return leaves(data, header->entries);
        for (std::size_t i = 0; i < header->entries; ++i) {
            const ExtentIndex x = extentIndexAt(data, i);
            if (x.logical >= limits_.logicalEnd) break;
            if (!inVolume(x.child, 1) || !visited_.insert(x.child).second) {
                result_.complete = false;
                continue;
            }
            if (level >= buffers_.size()) {
                result_.complete = false;
                break;
            }
            std::vector<std::uint8_t>& buffer = buffers_[level];
            buffer.resize(limits_.blockSize);
            if (!read_(x.child, buffer.data())) {
                result_.complete = false;
                continue;
            }
            if (!node(buffer.data(), buffer.size(), header->depth - 1, level + 1)) return false;
        }
        return true;
    }

    bool leaves(const std::uint8_t* data, std::size_t entries) {
        for (std::size_t i = 0; i < entries; ++i) {
            const Extent x = extentAt(data, i);
            if (x.length == 0) continue;
            std::uint64_t lo = x.logical;
            std::uint64_t hi = lo + x.length;
            if (lo >= limits_.logicalEnd) return true;
            if (hi > limits_.logicalEnd) hi = limits_.logicalEnd;
            if (lo < next_) {
                // Overlaps what an earlier extent gave: a damaged tree.
                result_.complete = false;
                if (hi <= next_) continue;
                lo = next_;
            }
            next_ = hi;
            if (!inVolume(x.start, x.length)) {
                result_.complete = false;
                continue;
            }
            BlockRun run{lo, x.start + (lo - x.logical), hi - lo, x.unwritten};
            if (!visit_(run)) {
                result_.stopped = true;
                return false;
            }
        }
        return true;
    }

    const MapLimits& limits_;
    const ReadBlock& read_;
    const VisitRun& visit_;
    MapResult result_;
    std::uint64_t next_ = 0;
    std::unordered_set<std::uint64_t> visited_;
    std::vector<std::vector<std::uint8_t>> buffers_;  // one per level below the inode, reused
};

class PointerWalk {
  public:
    PointerWalk(const MapLimits& l, const ReadBlock& r, const VisitRun& v)
        : limits_(l), read_(r), visit_(v), perBlock_(l.blockSize / 4), buffers_(3) {}

    MapResult run(const std::uint8_t* area) {
        constexpr std::uint64_t kDirect = 12;
        bool go = true;
        for (std::uint64_t i = 0; i < kDirect && go && i < limits_.logicalEnd; ++i)
            go = take(i, le32(area + 4 * i));
        std::uint64_t first = kDirect, span = perBlock_;
        for (int level = 1; level <= 3 && go; ++level) {
            go = indirect(level, le32(area + 4 * (kDirect + level - 1)), first);
            first += span;
            span *= perBlock_;
        }
        if (go) flush();
        return result_;
    }

  private:
    bool take(std::uint64_t logical, std::uint64_t block) {
        if (block == 0) return true;  // a hole
        if (block >= limits_.blockCount) {
            result_.complete = false;
            return true;
        }
        if (run_.count && run_.logical + run_.count == logical &&
            run_.physical + run_.count == block) {
            ++run_.count;
            return true;
        }
        if (!flush()) return false;
        run_ = BlockRun{logical, block, 1, false};
        return true;
    }

    bool flush() {
        if (run_.count == 0) return true;
        BlockRun done = run_;
        run_ = BlockRun{};
        if (visit_(done)) return true;
        result_.stopped = true;
        return false;
    }

    // A pointer block of the given level (1: it points at data) covering logical blocks from
    // first on. False when the visitor ended the walk.
    bool indirect(int level, std::uint64_t block, std::uint64_t first) {
        if (first >= limits_.logicalEnd || block == 0) return true;
        if (block >= limits_.blockCount || !visited_.insert(block).second) {
            result_.complete = false;
            return true;
        }
        std::vector<std::uint8_t>& buffer = buffers_[static_cast<std::size_t>(level - 1)];
        buffer.resize(limits_.blockSize);
        if (!read_(block, buffer.data())) {
            result_.complete = false;
            return true;
        }
        std::uint64_t span = 1;
        for (int k = 1; k < level; ++k) span *= perBlock_;
        for (std::uint64_t j = 0; j < perBlock_; ++j) {
            const std::uint64_t logical = first + j * span;
            if (logical >= limits_.logicalEnd) break;
            const std::uint32_t pointer = le32(buffer.data() + 4 * j);
            if (!(level == 1 ? take(logical, pointer) : indirect(level - 1, pointer, logical)))
                return false;
        }
        return true;
    }

    const MapLimits& limits_;
    const ReadBlock& read_;
    const VisitRun& visit_;
    const std::uint64_t perBlock_;
    MapResult result_;
    BlockRun run_;
    std::unordered_set<std::uint64_t> visited_;
    std::vector<std::vector<std::uint8_t>> buffers_;  // one per level, reused
};

}  // namespace

MapResult mapExtents(const std::uint8_t* area, const MapLimits& limits, const ReadBlock& read,
                     const VisitRun& visit) {
    if (limits.blockSize == 0) return {false, false};
    return ExtentWalk(limits, read, visit).run(area);
}

MapResult mapBlockPointers(const std::uint8_t* area, const MapLimits& limits, const ReadBlock& read,
                           const VisitRun& visit) {
    if (limits.blockSize < 4) return {false, false};
    return PointerWalk(limits, read, visit).run(area);
}

}  // namespace vel::extfmt
