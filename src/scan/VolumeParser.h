#pragma once
// What every file-system parser offers the scan screen, the saver and the command line.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/EntryWriter.h"
#include "core/VolumeDescriptor.h"
#include "device/readWriteInterface.h"
#include "scan/AdvancedInput.h"
#include "scan/ResultsTree.h"
#include "scan/ScanSink.h"
#include "scan/WorkerControl.h"

namespace vel {

// The list's texts for one entry: creation, access and modification time and attribute letters.
struct EntryColumns {
    std::string created, accessed, modified, attributes;
    // Where the entry's fields came from when not the file system's live tables ("journal").
    std::string source;
};

// The times an entry records, as its saved copy gets them; missing ones are not recorded.
struct RecordedTimes {
    std::optional<HostTime> created, accessed, modified;
};

enum class FillReason { Selection, Expansion, DoubleClick };

// How a worker ended, for the screen to finish with.
struct WorkerResult {
    bool started = true;               // false: this mode has no worker; the screen stays busy
    bool endSequence = true;           // false: no done box (a failed boot-sector check, say)
    bool shortEnd = false;             // end without the done box
    std::string failureBox;            // shown before Back is enabled
    std::vector<std::string> notices;  // boxes shown before the failure box
    // Said with the scan's end on the status line (and by the command line): a backup boot
    // sector used, or after a failure what was tried.
    std::vector<std::string> remarks;
};

// What a parser is told of the user's choices when it is made.
struct ParserOptions {
    // "Is Drive Formated..?": FAT and exFAT files are then read as contiguous.
    bool driveFormatted = false;
    std::string rootCaption = "ROOT";  // the top item's text
};

class VolumeParser {
  public:
    explicit VolumeParser(VolumeDescriptor descriptor, ParserOptions opts = {})
        : volume(std::move(descriptor)), options(std::move(opts)) {}
    virtual ~VolumeParser() = default;
    VolumeParser(const VolumeParser&) = delete;
    VolumeParser& operator=(const VolumeParser&) = delete;

    // The parser reads its volume (from the descriptor's start sector) out of source, which
    // must outlive it or be detached with a null source.
    void attach(const readWriteInterface* source, ResultsTree* tree, ScanSink* s) {
        view_ = VolumeView(source, sectorsToBytes(volume.startSector));
        reader = source ? &view_ : nullptr;
        resultsTree = tree;
        sink = s;
    }

    // The scan worker's steps for a mode (1 Standard, 2 Advanced, 3 Deep), run on the worker.
    virtual WorkerResult runWorker(int scanMode) = 0;

    // Item data, interpreted by this parser. Handlers ignore data for which isEntry is false.
    virtual bool isEntry(ItemData entry) const = 0;
    virtual bool isFolder(ItemData entry) const = 0;
    virtual bool hasChildren(ItemData entry) const = 0;
    // The name the volume records (UTF-8).
    virtual std::string recordedName(ItemData entry) const = 0;
    // The name shown, searched and saved: one given by setEntryName, else the recorded one.
    std::string entryName(ItemData entry) const {
        if (!givenNames_.empty()) {
            auto it = givenNames_.find(entry);
            if (it != givenNames_.end()) return it->second;
        }
        return recordedName(entry);
    }
    // Names an entry in place of its recorded name (a recycle-bin file's former name). Called by
    // the scan worker before the screen shows anything below the first level.
    void setEntryName(ItemData entry, std::string name) { givenNames_[entry] = std::move(name); }
    // The deleted look of an entry listed in folder.
    virtual bool isDeleted(ItemData entry, ItemData folder) const = 0;
    // Children in list order; visit returns false to stop. Must end on looping structures.
    virtual void forEachChild(ItemData folder,
                              const std::function<bool(ItemData)>& visit) const = 0;
    virtual EntryColumns entryColumns(ItemData entry) const = 0;
    virtual std::string entrySizeText(ItemData entry) const = 0;
    virtual std::uint64_t entrySize(ItemData entry) const = 0;  // bytes
    // "File size: %ld kb" while saving.
    virtual std::int64_t saveSizeKiB(ItemData entry) const {
        return static_cast<std::int64_t>(entrySize(entry) >> 10);
    }
    // How the entry's data is found where the file system no longer records it ("" when it
    // does): said by the list, the command line and the recovery report. Never reads the disk.
    virtual std::string recoveryNote(ItemData) const { return {}; }
    // The entry's recorded times, from what the scan read (never reads the disk). Every file
    // system says: the report lists them and a saved folder gets them after its files.
    virtual RecordedTimes recordedTimes(ItemData) const = 0;
    virtual bool skipOnSave(ItemData) const { return false; }
    // The file system's own bookkeeping ($MFT and the like) rather than anyone's file.
    virtual bool isMetadata(ItemData) const { return false; }
    virtual bool enterOnSave(ItemData) const { return true; }
    // Writes the entry's data into out and gives it the entry's times. False when the data
    // could not be read whole or out refused it.
    virtual bool writeEntry(ItemData entry, EntryWriter& out);
    // Writes the entry to a new file at destination with its times. False when the file could
    // not be written whole.
    virtual bool extractEntry(const std::string& destination, ItemData entry);

    // Inserts a folder item's children (replacing its placeholder) unless it was filled before.
    // Returns whether anything was inserted.
    virtual bool fillFolder(TreeItem item, FillReason reason);
    // End of scan: first-level folders with children get a placeholder child.
    virtual void addPlaceholders();

    // The advanced input (see scan/AdvancedInput.h). No layout: the file system has no search
    // for its tables, and the advanced mode is not offered for it.
    virtual std::optional<AdvancedLayout> advancedLayout() const { return std::nullopt; }
    // The search for the tables' places, run on the advanced input's worker; the parser keeps
    // what it found for its advanced scan. Polls stopRequested.
    virtual CandidateLists searchCandidates(int /*maxFileSystems*/) { return {}; }
    // The user's pick, read by runWorker(2).
    AdvancedChoice advancedChoice;

    VolumeDescriptor volume;
    ParserOptions options;
    StopFlag stopRequested;
    // The volume, read from its first byte; null until attached.
    const readWriteInterface* reader = nullptr;
    ResultsTree* resultsTree = nullptr;
    ScanSink* sink = nullptr;
    TreeItem volumeRootItem = kNoItem;

  protected:
    ScanSink& report() { return sink ? *sink : nullSink_; }
    // The top item (the application's root caption) with the folder icon.
    TreeItem insertVolumeRootItem();
    // One entry under parent, with a placeholder when it is a folder with children.
    TreeItem insertChildItem(TreeItem parent, ItemData entry, bool colourDeleted, ItemData folder);

  private:
    NullSink nullSink_;
    VolumeView view_;
    std::unordered_map<ItemData, std::string> givenNames_;
};

}  // namespace vel
