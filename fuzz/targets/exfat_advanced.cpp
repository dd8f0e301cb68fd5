// The exFAT advanced mode over a real volume without its boot regions whose FAT, allocation
// bitmap, up-case table start and root come from the input: the FAT and heap searches with the
// measured geometry, the entry scan and the rebuilt tree, listed and read whole; and the entry-set
// test over the input's own bytes.
#include "FuzzSupport.h"
#include "fs/exfat/ExfatLayout.h"
#include "fs/exfat/Fat64Class.h"

[[maybe_unused]] static const bool unpacked = vel::fuzz::unpackEarly({"exfat-noboot"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    for (std::size_t o = 0; o + 32 <= size; o += 32) exfat::candidateEntrySet(data, size, o);
    const auto& base = fuzz::fixture("exfat-noboot");
    fuzz::OverlaySource source(
        base, {{1048576, 512}, {2097152, 4096}, {2101248, 512}, {2109440, 4096}}, data, size);
    Fat64Class parser(VolumeDescriptor{"FAT64", "", "", "24", 0});
    NullSink sink;
    parser.attach(&source, nullptr, &sink);
    parser.searchCandidates(3);
    parser.advancedChoice = AdvancedChoice{0, 0, size > 0 ? data[0] % 3 : 0};
    fuzz::scanListAndRead(parser, source, 2);
    return 0;
}
