#pragma once
// Saving what a scan found: a folder with everything below it, or one file.
#include <functional>
#include <string>
#include <vector>

#include "scan/ResultsTree.h"
#include "scan/ScanSink.h"
#include "scan/VolumeParser.h"
#include "scan/WorkerControl.h"

namespace vel {

struct SaveReport {
    std::int64_t filesHandled = 0;      // the file counter
    std::int64_t filesWritten = 0;      // whole
    std::vector<std::string> damaged;   // written, with unreadable sectors as zeros
    std::vector<std::string> failures;  // output paths that could not be written
    bool stopped = false;
};

// A file to save below the output folder inside its folders (entries, outermost first), each
// recreated as a folder save recreates it.
struct PlacedFile {
    ItemData file = kNoData;
    std::vector<ItemData> folders;
};

class FolderSaver {
  public:
    FolderSaver(VolumeParser& parser, ScanSink& sink, const StopFlag& stop)
        : parser_(parser), sink_(sink), stop_(stop) {}

    // Files below a tree item: a folder entry's, or, for the top item, its children's.
    std::int64_t countFiles(const ResultsTree& tree, TreeItem item);
    std::int64_t countFolderFiles(ItemData folder);

    // Writes the item's children straight into outputDir (the item itself is not recreated).
    SaveReport saveItem(const ResultsTree& tree, TreeItem item, const std::string& outputDir);
    // An entry: a folder's children straight into outputDir, or a file into outputDir.
    SaveReport saveEntry(ItemData entry, const std::string& outputDir);
    // One file into outputDir (a folder is refused).
    SaveReport saveFile(ItemData file, const std::string& outputDir);
    // Files in their folders below outputDir (search hits), in order, until stopped.
    SaveReport saveFiles(const std::vector<PlacedFile>& files, const std::string& outputDir);

    // Shown beside the progress bar while a file is written ("File size: %ld kb"); "" clears it.
    std::function<void(const std::string&)> onFileSizeText;

  private:
    void dumpFolder(ItemData folder, const std::string& destination, SaveReport& report);
    void saveOne(ItemData file, const std::string& destination, SaveReport& report);
    std::string folderDestination(ItemData folder, const std::string& destination,
                                  SaveReport& report);

    VolumeParser& parser_;
    ScanSink& sink_;
    const StopFlag& stop_;
};

}  // namespace vel
