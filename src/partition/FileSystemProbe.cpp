#include "partition/FileSystemProbe.h"

#include "partition/Partition.h"

namespace vel {

std::string probeFileSystem(const readWriteInterface& source, std::int64_t startSector) {
    return probeVolumeStart(source, startSector).fileSystem;
}

std::vector<VolumeDescriptor> listStandardVolumes(const readWriteInterface& source, bool gpt) {
    Partition partition;
    partition.gptMode = gpt;
    partition.walkPartitionTables(source);
    return partition.volumes;
}

}  // namespace vel
