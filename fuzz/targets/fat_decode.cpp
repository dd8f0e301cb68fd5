// A FAT boot sector and the directory slots after it: the parameter block, slot classes, short
// and long names, DOS times.
#include <cstring>
#include <vector>

#include "fs/fat/FatEntry.h"
#include "fs/fat/FatVolumeParser.h"

using namespace vel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> boot(512, 0);
    std::memcpy(boot.data(), data, std::min<std::size_t>(size, 512));
    FatGeometry g;
    readBiosParameterBlock(boot.data(), true, g);
    readBiosParameterBlock(boot.data(), false, g);
    LongNameBuilder names;
    for (std::size_t at = 512; at + kDirEntrySize <= size; at += kDirEntrySize) {
        const std::uint8_t* slot = data + at;
        switch (classifySlot(slot)) {
            case FatSlot::LongName:
                names.addFragment(slot);
                break;
            case FatSlot::File:
            case FatSlot::Folder: {
                FatEntry e = entryFields(slot);
                e.name = names.takeFor(slot).value_or(shortEntryName(slot));
                fatEntryColumns(e);
                dosHostTime(e.writeDate, e.writeTime);
                names.reset();
                break;
            }
            default:
                names.reset();
        }
    }
    return 0;
}
