#include "fs/ext/Jbd2.h"

#include <algorithm>
#include <cstring>

namespace vel::jbd2 {

namespace {
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kProgressEvery = 1024;
// A journal this short holds no transaction: superblock, descriptor, one copy, commit.
constexpr std::uint32_t kMinJournalBlocks = 4;
}  // namespace

std::size_t Superblock::tagSize() const {
    if (csumV3()) return 16;
    // Block number, 16-bit checksum, 16-bit flags; the high half only with 64bit; checksum v2
    // adds two bytes.
    std::size_t size = 8;
    if (is64Bit()) size += 4;
    if (csumV2()) size += 2;
    return size;
}

std::optional<Header> parseHeader(ByteView b) {
    if (b.size() < kHeaderSize || b.be32(hdr::kMagic) != kMagic) return std::nullopt;
    return Header{b.be32(hdr::kBlockType), b.be32(hdr::kSequence)};
}

std::optional<Superblock> parseSuperblock(ByteView b) {
    auto h = parseHeader(b);
    if (!h || (h->type != kSuperblockV1 && h->type != kSuperblockV2)) return std::nullopt;
    Superblock s;
    s.version = h->type == kSuperblockV1 ? 1 : 2;
    s.blockSize = b.be32(jsb::kBlockSize);
    if (s.blockSize < 1024 || s.blockSize > 65536 || !isPowerOfTwo(s.blockSize))
        return std::nullopt;
    s.maxLen = b.be32(jsb::kMaxLen);
    s.first = b.be32(jsb::kFirst);
    if (s.maxLen < kMinJournalBlocks || s.first == 0 || s.first > s.maxLen - 3) return std::nullopt;
    s.sequence = b.be32(jsb::kSequence);
    s.start = b.be32(jsb::kStart);
    if (s.version == 2) {
        s.featureCompat = b.be32(jsb::kFeatureCompat);
        s.featureIncompat = b.be32(jsb::kFeatureIncompat);
        s.featureRoCompat = b.be32(jsb::kFeatureRoCompat);
    }
    return s;
}

std::vector<Tag> parseDescriptorTags(ByteView b, const Superblock& sb) {
    std::vector<Tag> tags;
    const std::size_t size = std::min<std::size_t>(b.size(), sb.blockSize);
    const std::size_t end = sb.hasBlockTail() && size >= 4 ? size - 4 : size;
    const std::size_t tagSize = sb.tagSize();
    const bool v3 = sb.csumV3();
    for (std::size_t at = kHeaderSize; at + tagSize <= end;) {
        Tag t;
        t.block = b.be32(at + tag::kBlockNr);
        if (v3) {
            t.flags = b.be32(at + tag::kFlags3);
            if (sb.is64Bit()) t.block |= std::uint64_t{b.be32(at + tag::kBlockNrHigh3)} << 32;
        } else {
            t.flags = b.be16(at + tag::kFlags);
            if (sb.is64Bit()) t.block |= std::uint64_t{b.be32(at + tag::kBlockNrHigh)} << 32;
        }
        tags.push_back(t);
        if (t.flags & kTagLastTag) break;
        at += tagSize;
        // The first tag, and any that changes journals, is followed by the journal's UUID.
        if (!(t.flags & kTagSameUuid)) at += kUuidSize;
    }
    return tags;
}

std::vector<std::uint64_t> parseRevokeBlock(ByteView b, const Superblock& sb) {
    std::vector<std::uint64_t> blocks;
    const std::size_t size = std::min<std::size_t>(b.size(), sb.blockSize);
    const std::size_t end = sb.hasBlockTail() && size >= 4 ? size - 4 : size;
    const std::size_t used = std::min<std::size_t>(b.be32(revoke::kCount), end);
    const std::size_t width = sb.is64Bit() ? 8 : 4;
    for (std::size_t at = revoke::kHeadSize; at + width <= used; at += width)
        blocks.push_back(width == 8 ? b.be64(at) : b.be32(at));
    return blocks;
}

void unescape(std::uint8_t* block) {
    block[0] = static_cast<std::uint8_t>(kMagic >> 24);
    block[1] = static_cast<std::uint8_t>(kMagic >> 16);
    block[2] = static_cast<std::uint8_t>(kMagic >> 8);
    block[3] = static_cast<std::uint8_t>(kMagic);
}

std::optional<Log> readLog(const ReadJournalBlock& read, std::uint32_t blockSize,
                           std::uint32_t journalBlocks, const JournalProgress& progress) {
    std::vector<std::uint8_t> buffer(blockSize);
    if (journalBlocks < kMinJournalBlocks || !read(0, buffer.data())) return std::nullopt;
    auto sb = parseSuperblock(ByteView(buffer.data(), buffer.size()));
    if (!sb || sb->blockSize != blockSize) return std::nullopt;
    const std::uint32_t total = std::min(sb->maxLen, journalBlocks);
    if (sb->first > total - 3) return std::nullopt;
    const std::uint32_t first = sb->first;
    auto next = [&](std::uint32_t b, std::uint64_t by) {
        const std::uint64_t ring = total - first;
        return static_cast<std::uint32_t>(first + (b - first + by % ring) % ring);
    };

    // Every block's header: descriptors and their blocks left, commits, revokes. A copy whose
    // first bytes were the magic is kept escaped, so only the log's own blocks have one.
    struct Head {
        std::uint32_t type = 0, sequence = 0;
        std::uint32_t span = 0;  // blocks of this piece: itself and its copies
    };
    std::vector<Head> heads(total);
    for (std::uint32_t b = first; b < total; ++b) {
        if (progress && (b - first) % kProgressEvery == 0 && !progress(b - first, total - first))
            return std::nullopt;
        if (!read(b, buffer.data())) continue;
        const ByteView view(buffer.data(), buffer.size());
        auto h = parseHeader(view);
        if (!h) continue;
        Head& x = heads[b];
        x.type = h->type;
        x.sequence = h->sequence;
        x.span = 1;
        if (h->type == kDescriptor) {
            // More tags than blocks in the ring are a damaged block: its chain cannot hold.
            const std::size_t tags = parseDescriptorTags(view, *sb).size();
            x.span = tags < total - first ? static_cast<std::uint32_t>(tags) + 1 : 0;
        }
    }

    // Pieces of one transaction follow each other; the chain starts where no piece leads to.
    auto isPiece = [&](std::uint32_t b) {
        return (heads[b].type == kDescriptor || heads[b].type == kRevoke) && heads[b].span != 0;
    };
    auto follower = [&](std::uint32_t b) {
        const std::uint32_t f = next(b, heads[b].span);
        const Head& h = heads[f];
        const bool joins = h.sequence == heads[b].sequence &&
                           (h.type == kDescriptor || h.type == kRevoke || h.type == kCommit);
        return joins && f != b ? f : kNone;
    };
    std::vector<bool> continued(total, false);
    for (std::uint32_t b = first; b < total; ++b)
        if (isPiece(b))
            if (std::uint32_t f = follower(b); f != kNone) continued[f] = true;

    Log log;
    log.superblock = *sb;
    struct Span {
        std::uint32_t start = 0, blocks = 0;
    };
    std::vector<Span> spans;
    for (std::uint32_t start = first; start < total; ++start) {
        if (!isPiece(start) || continued[start]) continue;
        Transaction t;
        t.sequence = heads[start].sequence;
        t.firstBlock = start;
        bool committed = false;
        std::uint64_t walked = 0;
        for (std::uint32_t b = start; b != kNone && walked < total - first;) {
            if (heads[b].type == kCommit) {
                if (read(b, buffer.data()))
                    t.commitSeconds = static_cast<std::int64_t>(
                        ByteView(buffer.data(), buffer.size()).be64(commit::kSeconds));
                committed = true;
                walked += 1;
                break;
            }
            if (!read(b, buffer.data())) break;
            const ByteView view(buffer.data(), buffer.size());
            if (heads[b].type == kDescriptor) {
                std::uint32_t at = b;
                for (const Tag& tag : parseDescriptorTags(view, *sb)) {
                    at = next(at, 1);
                    t.copies.push_back({tag.block, at, tag.escaped()});
                }
            } else {
                for (std::uint64_t r : parseRevokeBlock(view, *sb)) t.revoked.push_back(r);
            }
            walked += heads[b].span;
            b = follower(b);
        }
        if (!committed || walked > total - first) {
            ++log.incomplete;
            continue;
        }
        spans.push_back({start, static_cast<std::uint32_t>(walked)});
        log.transactions.push_back(std::move(t));
    }

    // Newest first by the distance back from the sequence the journal expects next; a transaction
    // that shares a block with a newer one was partly written over.
    std::vector<std::size_t> order(log.transactions.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const std::uint32_t expected = sb->sequence;
    auto age = [&](std::size_t i) { return expected - 1 - log.transactions[i].sequence; };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return age(a) < age(b); });
    std::vector<bool> taken(total, false), keep(order.size(), true);
    for (std::size_t i : order) {
        const Span& s = spans[i];
        for (std::uint32_t k = 0, b = s.start; k < s.blocks && keep[i]; ++k, b = next(b, 1))
            if (taken[b]) keep[i] = false;
        if (!keep[i]) {
            ++log.incomplete;
            continue;
        }
        for (std::uint32_t k = 0, b = s.start; k < s.blocks; ++k, b = next(b, 1)) taken[b] = true;
    }
    std::vector<Transaction> kept;
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        if (keep[*it]) kept.push_back(std::move(log.transactions[*it]));
    log.transactions = std::move(kept);
    return log;
}

}  // namespace vel::jbd2
