// A real ext4 volume (4 KiB blocks, 64bit, checksum v3 journal) holding files deleted with rm,
// whose journal's first sixteen blocks (the superblock and the transactions of the deletion)
// come from the input; scanned, listed and read whole, the journal's old copies included.
#include "FuzzSupport.h"
#include "fs/ext/ext2Class.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"ext4-journal"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("ext4-journal");
    // Journal blocks 0-9 lie at volume blocks 9-18, blocks 10-15 at 20-25.
    fuzz::OverlaySource source(base, {{9 * 4096, 10 * 4096}, {20 * 4096, 6 * 4096}}, data, size);
    ext2Class parser(VolumeDescriptor{"extX", "", "", "16", 0});
    fuzz::scanListAndRead(parser, source, 1);
    return 0;
}
