// A real ext4 volume (1 KiB blocks, meta_bg, 64-bit descriptors, inline data) whose superblock,
// descriptor block, first two inode tables and two directory blocks come from the input;
// scanned, listed and read whole.
#include "FuzzSupport.h"
#include "fs/ext/ext2Class.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"ext4-small"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("ext4-small");
    // Superblock, descriptors (block 2), inode tables (blocks 35-38), the root folder (block 67)
    // and "docs" (block 84).
    fuzz::OverlaySource source(
        base, {{1024, 1024}, {2048, 1024}, {35840, 4096}, {68608, 1024}, {86016, 1024}}, data,
        size);
    ext2Class parser(VolumeDescriptor{"extX", "", "", "6", 0});
    fuzz::scanListAndRead(parser, source, 1);
    return 0;
}
