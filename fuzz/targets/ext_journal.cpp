// The journal decoders on one input taken as a journal of 1 KiB blocks: its superblock, each
// block as a descriptor and a revoke block in the journal's layout, then the whole log walk.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fs/ext/Jbd2.h"

namespace {
constexpr std::size_t kBlock = 1024;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel::jbd2;
    const vel::ByteView in(data, size);
    const std::size_t blocks = size / kBlock + 1;
    auto sb = parseSuperblock(in.sub(0, kBlock));
    Superblock layout = sb ? *sb : Superblock{};
    layout.blockSize = kBlock;
    for (std::size_t at = 0; at < size; at += kBlock) {
        const vel::ByteView b = in.sub(at, kBlock);
        parseHeader(b);
        if (parseDescriptorTags(b, layout).size() > kBlock / 8) __builtin_trap();
        if (parseRevokeBlock(b, layout).size() > kBlock / 4) __builtin_trap();
    }
    const ReadJournalBlock read = [&](std::uint32_t n, std::uint8_t* out) {
        std::memset(out, 0, kBlock);
        const vel::ByteView b = in.sub(std::size_t{n} * kBlock, kBlock);
        if (b.size()) std::memcpy(out, b.data(), b.size());
        return true;
    };
    // Longer than the input, as a journal inode whose last blocks are holes.
    const auto journalBlocks = static_cast<std::uint32_t>(blocks + (size % 3));
    auto log = readLog(read, kBlock, journalBlocks);
    if (!log) return 0;
    const std::uint32_t total = std::min(log->superblock.maxLen, journalBlocks);
    for (const Transaction& t : log->transactions)
        for (const Copy& c : t.copies)
            if (c.journalBlock < log->superblock.first || c.journalBlock >= total) __builtin_trap();
    return 0;
}
