// The advanced and deep modes over a real NTFS volume whose boot sector and first MFT records
// come from the input: the candidate search and a scan from its first candidate, then the deep
// scan with its grouping of records into MFT copies.
#include "FuzzSupport.h"
#include "fs/ntfs/ntfs.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"ntfs-512"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    const auto& base = fuzz::fixture("ntfs-512");
    fuzz::OverlaySource source(base, {{0, 512}, {16384, 64 * 1024}}, data, size);
    const VolumeDescriptor volume{"NTFS", "", "", "12", 0};
    {
        ntfs parser(volume);
        NullSink sink;
        parser.attach(&source, nullptr, &sink);
        parser.searchCandidates(3);
        parser.advancedChoice = AdvancedChoice{0, 8, -1};
        fuzz::scanListAndRead(parser, source, 2);
    }
    ntfs parser(volume);
    fuzz::scanListAndRead(parser, source, 3);
    return 0;
}
