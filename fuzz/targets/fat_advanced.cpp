// The FAT advanced mode over real FAT32 and FAT16 volumes without boot sectors whose FATs, root
// and first folders come from the input (its first byte picks the volume): the table search with
// its measured geometry, the entry scan and the rebuilt tree, listed and read whole; and the slot
// and sector tests over the input's own bytes.
#include "FuzzSupport.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "fs/fat/FatAdvanced.h"

[[maybe_unused]] static const bool unpacked =
    vel::fuzz::unpackEarly({"fat32-noboot", "fat16-noboot"});

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vel;
    if (size < 1) return 0;
    for (std::size_t o = 1; o + 32 <= size; o += 32) {
        fatadv::acceptFat32Slot(data + o, 1u << 20);
        fatadv::acceptFat16Slot(data + o, 1u << 16);
        fatadv::fat32RootMark(data + o);
        if ((o - 1) % 512 == 0 && o + 512 <= size) {
            fatadv::dotEntryCluster(data + o);
            fatadv::fatStartSignature(data + o, fatadv::TableKind::Fat32);
        }
    }
    auto advanced = [&](VolumeParser& parser, const readWriteInterface& source) {
        NullSink sink;
        parser.attach(&source, nullptr, &sink);
        parser.searchCandidates(3);
        parser.advancedChoice = AdvancedChoice{static_cast<int>(data[0] >> 1) % 3, 0, -1};
        fuzz::scanListAndRead(parser, source, 2);
    };
    if (data[0] & 1) {
        // Both FATs' first sectors, then the root's first clusters.
        const auto& base = fuzz::fixture("fat32-noboot");
        fuzz::OverlaySource source(base, {{16384, 8192}, {282624, 512}, {548864, 8192}}, data + 1,
                                   size - 1);
        Fat32Class parser(VolumeDescriptor{"FAT32", "", "", "33", 0});
        advanced(parser, source);
    } else {
        // The first FAT, the second's first sector, the fixed root.
        const auto& base = fuzz::fixture("fat16-noboot");
        fuzz::OverlaySource source(base, {{1024, 4096}, {17408, 512}, {33792, 16384}}, data + 1,
                                   size - 1);
        Fat16Class parser(VolumeDescriptor{"FAT16", "", "", "4", 0});
        advanced(parser, source);
    }
    return 0;
}
