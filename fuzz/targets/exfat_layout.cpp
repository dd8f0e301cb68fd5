// An exFAT boot sector and a directory's entry sets.
#include <cstring>
#include <vector>

#include "fs/exfat/ExfatLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> boot(512, 0);
    std::memcpy(boot.data(), data, std::min<std::size_t>(size, 512));
    vel::exfat::parseBootSector(boot.data());
    std::size_t sets = 0;
    vel::exfat::walkEntrySets(data, size, [&](const vel::ExfatEntry& e) {
        ++sets;
        vel::exfat::decodeTimestamp(e.modifiedTimestamp);
    });
    if (sets > size / vel::exfat::kEntrySize + 1) __builtin_trap();
    return 0;
}
