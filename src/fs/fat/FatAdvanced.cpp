// The advanced input of the FAT12/16 and FAT32 parsers: the boot sector's cluster size when it
// holds together, the search for the FATs' places and the lists the screen shows.
#include <string>

#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"

namespace vel {

namespace {

// The boot sector's sectors per cluster goes first when its check succeeded and it is even.
std::vector<std::string> clusterList(bool bootValid, std::uint8_t bootValue,
                                     std::vector<std::string> rest) {
    if (bootValid && bootValue != 0 && bootValue % 2 == 0)
        rest.insert(rest.begin(), std::to_string(bootValue));
    return rest;
}

std::vector<std::string> numbered(const char* prefix, std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

}  // namespace

std::size_t FatVolumeParser::searchFatTables(int maximum) {
    // The FAT search arrives with the advanced FAT scan; until then it finds nothing.
    (void)maximum;
    fatCandidates.clear();
    return fatCandidates.size();
}

std::optional<AdvancedLayout> Fat16Class::advancedLayout() const {
    AdvancedLayout layout;
    layout.tableLabel = "Total fat16 Entries Found:";
    return layout;
}

CandidateLists Fat16Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    report().setStatusText("Finding Fat entries....");
    const std::size_t found = searchFatTables(maxFileSystemsOrDefault(maxFileSystems));
    CandidateLists lists;
    lists.tables = numbered("FAT_ENTRY:", found);
    lists.clusterSizes =
        clusterList(bootValid, bootSector_[13], {"4", "8", "16", "2", "32", "64", "128"});
    lists.message = "Number of FAT-ENTRY found = " + std::to_string(found) +
                    " . Please select the choice from combo box and click Next button to proceed.";
    lists.doneStatus = "Parsing done.Click Next to continue.";
    return lists;
}

std::optional<AdvancedLayout> Fat32Class::advancedLayout() const {
    return AdvancedLayout{};
}

CandidateLists Fat32Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    const std::size_t found = searchFatTables(maxFileSystemsOrDefault(maxFileSystems));
    CandidateLists lists;
    lists.tables = numbered("FAT32_ENTRY:", found);
    lists.clusterSizes = clusterList(bootValid, bootSector_[13], {"2", "4", "16", "32", "64", "8"});
    if (found > 0) {
        lists.message = "Number of FAT32-ENTRY found = " + std::to_string(found) +
                        " . Please select the choice from combo box and click Next button to "
                        "proceed.";
        lists.doneStatus = "Parsing done.Click Next to continue.";
    } else {
        lists.message = "NO FAT  FAT32-ENTRY found ..";
    }
    return lists;
}

}  // namespace vel
