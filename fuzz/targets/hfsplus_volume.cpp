// A real HFS+ volume whose volume header, extents-overflow file and catalog file come from the
// input; scanned in the standard and the deep mode, listed and read whole.
#include "FuzzSupport.h"
#include "fs/hfsplus/HFSP.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"hfsplus-basic"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("hfsplus-basic");
    // 4 KiB blocks: the extents file at block 2, the catalog file at block 26, 8 blocks each.
    fuzz::OverlaySource source(base, {{1024, 512}, {106496, 32768}, {8192, 32768}}, data, size);
    for (int mode : {1, 3}) {
        HFSP parser(VolumeDescriptor{"HFS+", "", "", "8", 0});
        fuzz::scanListAndRead(parser, source, mode);
    }
    return 0;
}
