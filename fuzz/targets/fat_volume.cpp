// Real FAT12 and FAT32 volumes whose boot sector, FATs and root come from the input (its first
// byte picks the volume); scanned, listed and read whole.
#include "FuzzSupport.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"fat32-mkfs", "fat12-mkfs"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    if (size < 1) return 0;
    if (data[0] & 1) {
        // Boot sector, the start of the first FAT, then the root's first clusters.
        const auto& base = fuzz::fixture("fat32-mkfs");
        fuzz::OverlaySource source(base, {{0, 512}, {16384, 8192}, {548864, 8192}}, data + 1,
                                   size - 1);
        Fat32Class parser(VolumeDescriptor{"FAT32", "", "", "33", 0});
        fuzz::scanListAndRead(parser, source, 1);
    } else {
        // Boot sector, both FATs and the fixed root.
        const auto& base = fuzz::fixture("fat12-mkfs");
        fuzz::OverlaySource source(base, {{0, 33 * 512}}, data + 1, size - 1);
        Fat16Class parser(VolumeDescriptor{"FAT12", "", "", "1", 0});
        fuzz::scanListAndRead(parser, source, 1);
    }
    return 0;
}
