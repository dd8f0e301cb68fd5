// The input as a whole disk: the MBR and its extended chain, the GPT, and the lost-volume scan
// over every sector, through the file-system table's probes.
#include "partition/Partition.h"
#include "device/readWriteInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vel::MemorySource disk(std::vector<std::uint8_t>(data, data + size));
    for (bool gpt : {false, true}) {
        vel::Partition p;
        p.gptMode = gpt;
        p.walkPartitionTables(disk);
    }
    vel::Partition scan;
    scan.skipVolumeExtent = false;
    scan.scanForVolumes(disk);
    return 0;
}
