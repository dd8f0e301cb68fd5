// The advanced input of the exFAT parser: the searches for the FAT's and the cluster heap's
// places and the lists the screen shows.
#include <string>

#include "fs/exfat/Fat64Class.h"

namespace vel {

std::size_t Fat64Class::searchFatTables(int maximum) {
    // The table searches arrive with the advanced exFAT scan; until then they find nothing.
    (void)maximum;
    fatCandidates.clear();
    return fatCandidates.size();
}

std::size_t Fat64Class::searchHeapOffsets(int maximum) {
    (void)maximum;
    heapCandidates.clear();
    return heapCandidates.size();
}

std::optional<AdvancedLayout> Fat64Class::advancedLayout() const {
    AdvancedLayout layout;
    layout.tableLabel = "Total fat64 Entries Found:";
    layout.clusterLabel = false;
    layout.heapList = true;
    return layout;
}

CandidateLists Fat64Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    report().setStatusText("Finding Fat64 entries....");
    const int maximum = maxFileSystemsOrDefault(maxFileSystems);
    searchFatTables(maximum);
    searchHeapOffsets(maximum);
    // The heap offset an intact boot sector states is the likeliest.
    if (bootValid && !heapCandidates.empty()) heapCandidates.front() = heapStart_;
    CandidateLists lists;
    for (std::size_t i = 0; i < fatCandidates.size(); ++i)
        lists.tables.push_back("FAT64_ENTRY:" + std::to_string(i));
    for (std::size_t i = 0; i < heapCandidates.size(); ++i)
        lists.heaps.push_back("HEAP_OFFSET_ENTRY:" + std::to_string(i));
    if (bootValid) lists.clusterSizes.push_back(std::to_string(boot_.sectorsPerClusterShift));
    for (const char* shift : {"8", "9", "10", "11"}) lists.clusterSizes.push_back(shift);
    lists.message =
        "Number of FAT64-ENTRY found = " + std::to_string(fatCandidates.size()) +
        " and Number of HeapOffset-ENTRY found =  " + std::to_string(heapCandidates.size()) +
        "  . Please select the choice from ( Entry and Heap ) Combobox and click Next "
        "button to proceed.";
    lists.doneStatus = "Parsing done.Click Next to continue.";
    return lists;
}

}  // namespace vel
