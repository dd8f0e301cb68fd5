#pragma once
// Saving what a scan found: a folder with everything below it, the checked items, or one file.
// A file held in memory is created under its name and written in one go (and removed if that
// fails); a larger one is written under a temporary name and named when done, so a failed read
// or write never leaves a file under its name. A file read whole gets its name and its times,
// a file with parts that could not be read gets "<name>.incomplete", and a file of which
// nothing could be had leaves nothing behind.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EntryWriter.h"
#include "scan/ResultsTree.h"
#include "scan/SaveWriters.h"
#include "scan/ScanSink.h"
#include "scan/VolumeParser.h"
#include "scan/WorkerControl.h"

namespace vel {

class OutputFolder;

enum class SaveStatus { Whole, Incomplete, Failed, Skipped };

// A stretch of a file that did not come back.
struct DamagedRange {
    enum class Kind {
        Unreadable,     // the device failed; read as zeros
        PastSourceEnd,  // asked for past the end of the source (a truncated image)
        OutsideVolume,  // the file system points outside the volume
        NotFound,       // the file system's record of the data ends before the file does
    };
    Kind kind = Kind::Unreadable;
    std::optional<std::uint64_t> fileOffset;  // where in the file, when that is known
    std::int64_t imageOffset = -1;            // where in the source, when that is known
    std::uint64_t length = 0;
};

// One file as the save left it: what the recovery report lists.
struct SaveRecord {
    std::string originalPath;   // below the top item, "/"-separated
    std::string savedPath;      // relative to the output folder; "" when nothing was left
    std::uint64_t size = 0;     // as the file system records it
    std::uint64_t written = 0;  // the saved file's length, holes included
    RecordedTimes times;
    bool deleted = false;
    std::vector<ByteRun> runs;  // volume offsets, adjacent runs merged
    std::string sha256;         // of the saved file; "" when nothing was left
    SaveStatus status = SaveStatus::Whole;
    std::string reason;  // why it is not whole
    std::vector<DamagedRange> damage;
};

struct SaveFailure {
    std::string path;  // where the file would have gone
    std::string reason;
};

struct SaveReport {
    std::int64_t filesHandled = 0;        // the file counter
    std::int64_t filesWritten = 0;        // whole
    std::vector<std::string> incomplete;  // saved as "<name>.incomplete" (full paths)
    std::vector<SaveFailure> failures;    // nothing left
    std::int64_t skipped = 0;             // never saved ("$BadClus")
    bool stopped = false;
    std::string outputFolder;
    void add(const SaveReport& other);
};

// What the check boxes pick below the top item: whole entries (a folder with everything below
// it that is not unchecked) and partly checked folders with the picked part of their contents.
struct SavePlan {
    struct Node {
        ItemData entry = kNoData;
        ItemData parent = kNoData;  // the folder listing it; kNoData at the first level
        bool whole = true;
        std::vector<Node> children;  // of a folder that is not whole
    };
    bool topChecked = false;  // the top item itself: everything
    std::vector<Node> nodes;
    std::int64_t files = 0;
    bool empty() const { return !topChecked && nodes.empty(); }
};

// A file to save below the output folder inside its folders (entries, outermost first), each
// recreated as a folder save recreates it.
struct PlacedFile {
    ItemData file = kNoData;
    std::vector<ItemData> folders;
};

class FolderSaver {
  public:
    FolderSaver(VolumeParser& parser, ScanSink& sink, const StopFlag& stop);
    ~FolderSaver();

    // Files below a tree item: a folder entry's, or, for the top item, its children's.
    std::int64_t countFiles(const ResultsTree& tree, TreeItem item);
    std::int64_t countFolderFiles(ItemData folder);
    // The checked items below top; empty when nothing is checked. Reads only the tree and the
    // parser's records (for the interface thread).
    SavePlan planChecked(const ResultsTree& tree, TreeItem top);

    // Writes the item's children straight into outputDir (the item itself is not recreated).
    SaveReport saveItem(const ResultsTree& tree, TreeItem item, const std::string& outputDir);
    // An entry: a folder's children straight into outputDir, or a file into outputDir. origin is
    // the entry's folder path below the top item, for the report.
    SaveReport saveEntry(ItemData entry, const std::string& outputDir,
                         const std::string& origin = "");
    // One file into outputDir (a folder is refused).
    SaveReport saveFile(ItemData file, const std::string& outputDir,
                        const std::string& origin = "");
    // The checked items, each under its folder path below the top item.
    SaveReport savePlan(const ResultsTree& tree, TreeItem top, const SavePlan& plan,
                        const std::string& outputDir);
    // Files in their folders below outputDir (search hits), in order, until stopped. origin is
    // the folder path, below the top item, that the files' folders are listed from.
    SaveReport saveFiles(const std::vector<PlacedFile>& files, const std::string& outputDir,
                         const std::string& origin = "");

    // Shown beside the progress bar while a file is written ("File size: %ld kb"); "" clears it.
    std::function<void(const std::string&)> onFileSizeText;
    // Told of every file as it is done (the recovery report).
    std::function<void(const SaveRecord&)> onFileDone;
    // Asked before a file larger than the free space of its folder is written; without it such a
    // file is written. Arguments: the output path, the size, the free bytes.
    std::function<bool(const std::string&, std::uint64_t, std::int64_t)> confirmLargeFile;
    // Whether SaveRecord::sha256 is computed (for a recovery report).
    bool hashFiles = true;
    // Files and made folders read ahead of the writers at most, before reading waits for them.
    std::size_t readAhead = 4096;

  private:
    // A folder of the output tree being filled; folder is null when it could not be made.
    struct Target {
        OutputFolder* folder = nullptr;
        std::string relative;  // below the output folder
        std::string shownPath;
        std::string failure;  // why there is no folder
    };
    struct Level;
    struct Pending;

    bool openOutput(const std::string& outputDir, SaveReport& report);
    void dumpFolder(ItemData folder, const Target& destination, const std::string& origin,
                    std::unique_ptr<OutputFolder> owned, SaveReport& report);
    void saveOne(ItemData file, ItemData parent, const Target& destination,
                 const std::string& origin, SaveReport& report);
    // The output folder for a folder entry below parent; with an empty name the parent's own.
    Target enterFolder(ItemData folder, const Target& parent, std::unique_ptr<OutputFolder>& owned);
    void savePlanNode(const SavePlan::Node& node, const Target& destination,
                      const std::string& origin, SaveReport& report);
    void finishFile(SaveRecord& file, const std::string& shownPath, SaveReport& report);
    // Files are told of in the order they were read, each once it is written; all=true waits
    // for every file still being written (before a folder gets its times or goes away).
    void deliver(SaveReport& report, bool all);
    void complete(Pending& file, SaveReport& report);
    // The made folder gets folder's recorded times once every file read so far is written.
    void datedOnceWritten(ItemData folder, std::unique_ptr<OutputFolder> made, SaveReport& report);
    bool stopNow(SaveReport& report);

    VolumeParser& parser_;
    ScanSink& sink_;
    const StopFlag& stop_;
    std::unique_ptr<OutputFolder> output_;
    std::deque<std::unique_ptr<Pending>> inFlight_;
    // Files read but not yet handed to the writers, and their held bytes.
    std::vector<WriterPool::Job*> batch_;
    std::uint64_t batchBytes_ = 0;
    std::size_t foldersInFlight_ = 0;
    void submitBatch();
    // Declared after what its jobs use, so it ends (finishing them) first.
    std::unique_ptr<WriterPool> writers_;
    // The output's free space when last asked, and what was written since: the file system is
    // asked again only when a file could come near it.
    std::int64_t knownFree_ = -1;
    std::uint64_t writtenSinceFree_ = 0;
    std::int64_t freeFor(const OutputFolder& folder, std::uint64_t size);
};

// "a/b" from "a" and "b"; either may be empty.
std::string joinOrigin(const std::string& folder, const std::string& name);

}  // namespace vel
