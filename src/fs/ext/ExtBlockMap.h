#pragma once
// Where a file's data lies: its extent tree, or its block map (12 direct pointers, then single-,
// double- and triple-indirect blocks), turned into runs of logical blocks on physical blocks.
// Index and pointer blocks are read through a callback, so the same walk serves the inodes a
// scan reads and inode copies found anywhere else.
//
// Runs come in increasing logical order and never overlap; the gaps between them are holes (the
// file reads zeros there). Guards against a hostile map: an extent tree is at most 5 levels deep
// and each level's depth is one less than its parent's; every index or pointer block is read at
// most once; a pointer or extent outside the volume is dropped; nothing past the file's last
// block is followed.
#include <cstdint>
#include <functional>
#include <vector>

namespace vel::extfmt {

struct BlockRun {
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint64_t count = 0;
    bool unwritten = false;  // allocated but never written: reads as zeros
};

struct MapLimits {
    std::uint32_t blockSize = 0;
    std::uint64_t blockCount = 0;  // blocks of the volume
    std::uint64_t logicalEnd = 0;  // blocks of the file: its size rounded up
};

inline std::uint64_t blocksForSize(std::uint64_t size, std::uint32_t blockSize) {
    return size / blockSize + (size % blockSize != 0);
}

// Reads one block (blockSize bytes) of the volume; false when it could not be read.
using ReadBlock = std::function<bool(std::uint64_t block, std::uint8_t* buffer)>;
// Returns false to end the walk.
using VisitRun = std::function<bool(const BlockRun&)>;

struct MapResult {
    // False when part of the map could not be read or was damaged: the blocks it would have
    // given are missing from the runs, not holes of the file.
    bool complete = true;
    bool stopped = false;  // the visitor ended the walk
};

// The 60-byte block area of an inode, as an extent root or as 15 block pointers.
MapResult mapExtents(const std::uint8_t* area, const MapLimits& limits, const ReadBlock& read,
                     const VisitRun& visit);
MapResult mapBlockPointers(const std::uint8_t* area, const MapLimits& limits, const ReadBlock& read,
                           const VisitRun& visit);
inline MapResult mapBlocks(const std::uint8_t* area, bool extents, const MapLimits& limits,
                           const ReadBlock& read, const VisitRun& visit) {
    return extents ? mapExtents(area, limits, read, visit)
                   : mapBlockPointers(area, limits, read, visit);
}

}  // namespace vel::extfmt
