// The ext decoders on one input: a superblock, a group descriptor and an inode, then blocks that
// serve as the inode's extent or pointer blocks and are walked as directory blocks.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fs/ext/ExtBlockMap.h"
#include "fs/ext/ExtLayout.h"

namespace {
constexpr std::size_t kBlock = 1024;
constexpr std::size_t kInodeSize = 256;
constexpr std::size_t kHead = vel::extfmt::kSuperblockSize + 64 + kInodeSize;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel::extfmt;
    vel::ByteView in(data, size);
    parseSuperblock(in.sub(0, kSuperblockSize));
    std::vector<std::uint8_t> head(kHead, 0);
    std::memcpy(head.data(), data, std::min(size, kHead));
    const std::uint8_t* desc = head.data() + kSuperblockSize;
    parseGroupDescriptor(desc, 64);
    const std::uint8_t* raw = desc + 64;
    const Inode inode = decodeInode(raw, kInodeSize, true);
    isFastSymlink(inode);
    decodeTime(inode.mtime);
    inlineDataAttribute(raw, kInodeSize);

    // Blocks past the head; block numbers wrap around them so hostile maps find their nodes.
    const vel::ByteView rest = in.sub(kHead, size);
    const std::size_t blocks = std::max<std::size_t>(1, rest.size() / kBlock);
    const ReadBlock read = [&](std::uint64_t block, std::uint8_t* out) {
        std::memset(out, 0, kBlock);
        const vel::ByteView b = rest.sub(block % blocks * kBlock, kBlock);
        if (b.size()) std::memcpy(out, b.data(), b.size());
        return true;
    };
    MapLimits limits;
    limits.blockSize = kBlock;
    limits.blockCount = 1u << 20;
    limits.logicalEnd = blocksForSize(inode.size, kBlock);
    std::uint64_t next = 0, runs = 0;
    mapBlocks(inode.block, inode.usesExtents(), limits, read, [&](const BlockRun& r) {
        // Runs come in order, without overlap, inside the volume and the file.
        if (r.logical < next || r.count == 0 || r.logical + r.count > limits.logicalEnd ||
            r.physical + r.count > limits.blockCount)
            __builtin_trap();
        next = r.logical + r.count;
        return ++runs < 100000;
    });

    DirBlockOptions options;
    options.hasFileType = !(raw[0] & 1);
    options.inodeCount = 1u << 16;
    options.blockSize = kBlock;
    options.hashedDirectory = raw[0] & 2;
    for (std::size_t at = 0; at < rest.size(); at += kBlock) {
        const vel::ByteView b = rest.sub(at, kBlock);
        options.firstBlock = at == 0;
        walkDirectoryBlock(b.data(), b.size(), options, [&](const DirEntry& e) {
            if (e.offset + dirent::kName + e.name.size() > b.size()) __builtin_trap();
        });
    }
    return 0;
}
