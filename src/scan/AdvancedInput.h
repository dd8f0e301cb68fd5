#pragma once
// The advanced input: where a damaged volume's tables may lie, found by searching the volume, and
// the user's pick among the places found. A parser whose file system has such a search says how
// its lists are shown (VolumeParser::advancedLayout), runs the search on the advanced input's
// worker (VolumeParser::searchCandidates) and is given the pick (VolumeParser::advancedChoice)
// before its advanced scan (runWorker(2)). The screen and the command line share this.
#include <string>
#include <vector>

namespace vel {

// How the lists are shown before the search starts.
struct AdvancedLayout {
    std::string tableLabel = "TFS :";  // the caption of the table-location list
    bool clusterLabel = true;          // the sectors-per-cluster list shows; its caption may not
    bool heapList = false;             // exFAT: cluster-heap offsets too
    std::string startStatus;           // the status line as the search starts ("" leaves it)
};

// What the search found, as the lists show it.
struct CandidateLists {
    std::vector<std::string> tables;      // "MFT_ENTRY:0", ...
    std::vector<std::string> tableNotes;  // per table: where it lies (tooltips, CLI listing)
    std::vector<std::string> clusterSizes;
    std::vector<std::string> heaps;
    std::vector<std::string> heapNotes;
    std::string message;     // the box after the search
    std::string doneStatus;  // the status line after the search
};

// The user's pick. Indexes count from 0 in the lists' order.
struct AdvancedChoice {
    int table = -1;
    int sectorsPerCluster = 0;  // 0: none chosen; the parser then decides
    int heap = -1;
};

// The advanced input's maximum number of file systems to find: 0 or less means 3. List texts
// ("8", "8 (detected)") are read with leadingNumber (core/VolumeDescriptor.h).
inline int maxFileSystemsOrDefault(long long value) {
    return value > 0 && value <= 1000000 ? static_cast<int>(value) : value > 0 ? 1000000 : 3;
}

}  // namespace vel
