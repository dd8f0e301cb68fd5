#include "partition/FileSystemProbe.h"

#include <cstring>

#include "partition/Partition.h"

namespace vel {

std::string probeFileSystem(readWriteInterface& reader, std::int64_t startSector) {
    unsigned char block[1536] = {};
    std::int64_t base = reader.baseOffset;
    reader.baseOffset = 0;
    bool ok = reader.readAt(startSector * 512, block, 512);
    if (ok && !reader.readAt(startSector * 512 + 512, block + 512, 1024))
        std::memset(block + 512, 0, 1024);
    reader.baseOffset = base;
    if (!ok) return "";
    return decideVolumeStart(block).fileSystem;
}

std::vector<VolumeDescriptor> listStandardVolumes(readWriteInterface& reader, bool gpt) {
    Partition partition;
    partition.gptMode = gpt;
    std::int64_t base = reader.baseOffset;
    partition.walkPartitionTables(reader);
    reader.baseOffset = base;
    return partition.volumes;
}

}  // namespace vel
