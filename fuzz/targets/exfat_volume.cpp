// A real exFAT volume whose boot region, start of the FAT and root directory come from the input;
// scanned, listed and read whole.
#include "FuzzSupport.h"
#include "fs/exfat/Fat64Class.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"exfat-basic"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("exfat-basic");
    // Root directory: cluster 5 of 4 KiB clusters from a heap at 2 MiB.
    fuzz::OverlaySource source(base, {{0, 512}, {1048576, 4096}, {2097152 + 3 * 4096, 16384}}, data,
                               size);
    Fat64Class parser(VolumeDescriptor{"exFAT", "", "", "24", 0});
    fuzz::scanListAndRead(parser, source, 1);
    return 0;
}
