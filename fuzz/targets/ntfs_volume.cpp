// A real NTFS volume (512-byte clusters) whose boot sector and first MFT records come from the
// input; scanned, listed and read whole.
#include "FuzzSupport.h"
#include "fs/ntfs/ntfs.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"ntfs-512"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("ntfs-512");
    fuzz::OverlaySource source(base, {{0, 512}, {16384, 64 * 1024}}, data, size);
    ntfs parser(VolumeDescriptor{"NTFS", "", "", "12", 0});
    fuzz::scanListAndRead(parser, source, 1);
    return 0;
}
