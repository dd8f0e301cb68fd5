// A recycle bin's index file, either layout.
#include "search/RecycleBinIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto index = vel::recycle::decodeIndexFile(data, size);
    if (!index) return 0;
    if (index->path.size() > size / 2) __builtin_trap();
    vel::recycle::formerName(index->path);
    return 0;
}
