#pragma once
// The ext3/ext4 journal (jbd2) decoded from byte buffers: its superblock, block headers,
// descriptor blocks with their tags (32- and 64-bit block numbers, checksum v2 and v3 layouts),
// revoke blocks and commit blocks; and a walk of the circular log that gives, for each committed
// transaction still in it, which volume blocks it holds copies of and where.
//
// Bounds rule: a decoder reads only the block it is given; tag and revoke counts stop at the end
// of the block (less the checksum tail where the journal has one). The log walk reads journal
// blocks through a callback, visits each block a bounded number of times, keeps at most one
// record per journal block, and never follows a chain further than the journal is long.
// Everything on disk is big-endian.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "fs/common/Endian.h"

namespace vel::jbd2 {

inline constexpr std::uint32_t kMagic = 0xC03B3998;
inline constexpr std::size_t kHeaderSize = 12;

namespace hdr {
inline constexpr std::size_t kMagic = 0x0;
inline constexpr std::size_t kBlockType = 0x4;
inline constexpr std::size_t kSequence = 0x8;
}  // namespace hdr

enum BlockType : std::uint32_t {
    kDescriptor = 1,
    kCommit = 2,
    kSuperblockV1 = 3,
    kSuperblockV2 = 4,
    kRevoke = 5,
};

namespace jsb {
inline constexpr std::size_t kBlockSize = 0x0C;
inline constexpr std::size_t kMaxLen = 0x10;
inline constexpr std::size_t kFirst = 0x14;
inline constexpr std::size_t kSequence = 0x18;
inline constexpr std::size_t kStart = 0x1C;
inline constexpr std::size_t kFeatureCompat = 0x24;
inline constexpr std::size_t kFeatureIncompat = 0x28;
inline constexpr std::size_t kFeatureRoCompat = 0x2C;
inline constexpr std::size_t kUuid = 0x30;
}  // namespace jsb

inline constexpr std::uint32_t kCompatChecksum = 0x1;
inline constexpr std::uint32_t kIncompatRevoke = 0x1;
inline constexpr std::uint32_t kIncompat64Bit = 0x2;
inline constexpr std::uint32_t kIncompatAsyncCommit = 0x4;
inline constexpr std::uint32_t kIncompatCsumV2 = 0x8;
inline constexpr std::uint32_t kIncompatCsumV3 = 0x10;

struct Superblock {
    std::uint32_t version = 2;  // 1 or 2
    std::uint32_t blockSize = 0;
    std::uint32_t maxLen = 0;  // journal blocks, the superblock's included
    std::uint32_t first = 0;   // first block of the log
    std::uint32_t sequence = 0;
    std::uint32_t start = 0;  // 0: nothing left to replay (the old transactions still lie there)
    std::uint32_t featureCompat = 0, featureIncompat = 0, featureRoCompat = 0;

    bool is64Bit() const { return featureIncompat & kIncompat64Bit; }
    bool csumV2() const { return featureIncompat & kIncompatCsumV2; }
    bool csumV3() const { return featureIncompat & kIncompatCsumV3; }
    // Descriptor and revoke blocks end with a 4-byte checksum tail.
    bool hasBlockTail() const { return csumV2() || csumV3(); }
    // Bytes of one descriptor tag, the 16-byte UUID that may follow it not counted.
    std::size_t tagSize() const;
};

// The journal superblock (its first block); nullopt unless the header says superblock v1 or v2
// and the geometry holds (block size 1 KiB to 64 KiB, first block inside the journal, the journal
// at least a few blocks long). Version 1 journals have no feature words: they read as 0.
std::optional<Superblock> parseSuperblock(ByteView bytes);

struct Header {
    std::uint32_t type = 0;
    std::uint32_t sequence = 0;
};
// The 12-byte header at the start of a journal block; nullopt without the magic.
std::optional<Header> parseHeader(ByteView bytes);

inline constexpr std::uint32_t kTagEscaped = 0x1;
inline constexpr std::uint32_t kTagSameUuid = 0x2;
inline constexpr std::uint32_t kTagDeleted = 0x4;
inline constexpr std::uint32_t kTagLastTag = 0x8;
inline constexpr std::size_t kUuidSize = 16;

namespace tag {
inline constexpr std::size_t kBlockNr = 0x0;
// Checksum v3 layout.
inline constexpr std::size_t kFlags3 = 0x4;
inline constexpr std::size_t kBlockNrHigh3 = 0x8;
// Older layout: a 16-bit checksum, 16-bit flags, then the high half.
inline constexpr std::size_t kFlags = 0x6;
inline constexpr std::size_t kBlockNrHigh = 0x8;
}  // namespace tag

struct Tag {
    std::uint64_t block = 0;  // the volume block this copy is of
    std::uint32_t flags = 0;
    bool escaped() const { return flags & kTagEscaped; }
};

// The tags of one descriptor block, in order: up to the tag with the last-tag flag, or to the
// end of the block (less the checksum tail).
std::vector<Tag> parseDescriptorTags(ByteView block, const Superblock& sb);

namespace revoke {
inline constexpr std::size_t kCount = 0xC;  // bytes used, the 16-byte head included
inline constexpr std::size_t kHeadSize = 16;
}  // namespace revoke
// The volume blocks a revoke block names (4 or 8 bytes each by the 64bit feature).
std::vector<std::uint64_t> parseRevokeBlock(ByteView block, const Superblock& sb);

namespace commit {
inline constexpr std::size_t kSeconds = 0x30;  // be64
inline constexpr std::size_t kNanoseconds = 0x38;
}  // namespace commit

// --- The log ------------------------------------------------------------------------------------

// A copy of a volume block kept in the journal.
struct Copy {
    std::uint64_t block = 0;         // volume block
    std::uint32_t journalBlock = 0;  // where its bytes are in the journal
    bool escaped = false;            // its first four bytes were the magic: restore them
};

struct Transaction {
    std::uint32_t sequence = 0;
    std::uint32_t firstBlock = 0;  // its first descriptor or revoke block
    std::int64_t commitSeconds = 0;
    std::vector<Copy> copies;  // in log order; a block may appear once per transaction
    std::vector<std::uint64_t> revoked;
};

struct Log {
    Superblock superblock;
    // Committed transactions whose blocks are all still theirs, oldest first.
    std::vector<Transaction> transactions;
    std::uint32_t incomplete = 0;  // chains cut short: never committed, or written over since
};

// Reads journal block n (0 = the superblock) into blockSize bytes; false when it cannot be read.
using ReadJournalBlock = std::function<bool(std::uint32_t n, std::uint8_t* buffer)>;
// Called now and then with blocks examined and the total; returns false to stop the walk.
using JournalProgress = std::function<bool(std::uint32_t done, std::uint32_t total)>;

// Finds every transaction in the journal, whether or not it was replayed: every block of the log
// is looked at, chains are followed from their first descriptor or revoke block to their commit,
// wrapping from the end of the journal to its first log block. journalBlocks is how many blocks
// the journal inode holds; the superblock's length is trusted only up to that. A transaction
// whose journal blocks a later transaction has taken since is left out.
// blockSize is the volume's: a journal of another block size is not read.
std::optional<Log> readLog(const ReadJournalBlock& read, std::uint32_t blockSize,
                           std::uint32_t journalBlocks, const JournalProgress& progress = {});

// Wrap-safe order of two sequence numbers.
inline bool sequenceBefore(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}

// Restores an escaped copy's first four bytes.
void unescape(std::uint8_t* block);

}  // namespace vel::jbd2
