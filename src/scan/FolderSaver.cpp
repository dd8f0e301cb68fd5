#include "scan/FolderSaver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_set>

#include "device/readWriteInterface.h"
#include "platform/OutputFile.h"
#include "platform/OutputPath.h"

namespace vel {

namespace {

// Holes are hashed in slices so a Stop is heard inside a long one.
constexpr std::uint64_t kZeroSlice = 64u << 20;
// Bytes read ahead of the writer threads, and files told of late, at most.
constexpr std::uint64_t kHeldBudget = 64u << 20;
constexpr std::size_t kMaxFoldersInFlight = 64;
// Files handed to the writer threads at a time.
constexpr std::size_t kBatchFiles = 64;
constexpr std::uint64_t kBatchBytes = 4u << 20;

std::vector<ItemData> childrenOf(const VolumeParser& parser, ItemData folder) {
    std::vector<ItemData> children;
    parser.forEachChild(folder, [&](ItemData child) {
        children.push_back(child);
        return true;
    });
    return children;
}

// What the parser writes goes through here: its runs are kept for the report, and
// a Stop ends it between two pieces. Bytes that are not on the volume are held back: they become
// a hole only when data follows them, so a forged run far past the volume costs nothing.
class FileRecorder final : public EntryWriter {
  public:
    FileRecorder(EntryWriter& file, const StopFlag& stop) : file_(file), stop_(stop) {}

    bool write(const void* data, std::size_t size) override {
        missingLeft_ = 0;
        if (stopRequested() || !flushHeldBack()) return false;
        return file_.write(data, size);
    }
    bool writeZeros(std::uint64_t size) override {
        const std::uint64_t held = std::min(size, missingLeft_);
        missingLeft_ -= held;
        size -= held;
        if (size > 0 && !flushHeldBack()) return false;
        heldBack_ += held;
        return zeros(size);
    }
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        file_.setTimes(access, modification);
    }
    void noteRun(const ByteRun& run) override {
        if (run.length == 0) return;
        if (run.kind == ByteRun::Kind::Missing) missingLeft_ += run.length;
        if (!runs_.empty()) {
            ByteRun& last = runs_.back();
            const bool follows =
                last.kind == run.kind && last.fileOffset + last.length == run.fileOffset &&
                (run.kind != ByteRun::Kind::Data ||
                 last.volumeOffset + static_cast<std::int64_t>(last.length) == run.volumeOffset);
            if (follows) {
                last.length += run.length;
                return;
            }
        }
        runs_.push_back(run);
    }

    bool stopped() const { return stopped_; }
    std::vector<ByteRun>& runs() { return runs_; }

  private:
    bool stopRequested() {
        if (!stopped_ && stop_.requested()) stopped_ = true;
        return stopped_;
    }
    bool zeros(std::uint64_t size) {
        while (size > 0) {
            if (stopRequested()) return false;
            const std::uint64_t n = std::min(size, kZeroSlice);
            if (!file_.writeZeros(n)) return false;
            size -= n;
        }
        return true;
    }
    bool flushHeldBack() {
        const std::uint64_t n = heldBack_;
        heldBack_ = 0;
        return zeros(n);
    }
    EntryWriter& file_;
    const StopFlag& stop_;
    std::vector<ByteRun> runs_;
    std::uint64_t missingLeft_ = 0, heldBack_ = 0;
    bool stopped_ = false;
};

// Device ranges that read as zeros, placed in the file where its runs say they lie.
void placeDamage(const ReadDamageScope::Ranges& ranges, DamagedRange::Kind kind,
                 const std::vector<ByteRun>& runs, std::int64_t volumeStart,
                 std::vector<DamagedRange>& out) {
    for (const auto& [first, last] : ranges) {
        bool placed = false;
        for (const ByteRun& r : runs) {
            if (r.kind != ByteRun::Kind::Data) continue;
            const std::int64_t runStart = volumeStart + r.volumeOffset;
            const std::int64_t runEnd = runStart + static_cast<std::int64_t>(r.length);
            const std::int64_t from = std::max(first, runStart), to = std::min(last, runEnd);
            if (from >= to) continue;
            out.push_back({kind, r.fileOffset + static_cast<std::uint64_t>(from - runStart), from,
                           static_cast<std::uint64_t>(to - from)});
            placed = true;
        }
        // Not part of the data: the file system's own records of the file.
        if (!placed)
            out.push_back({kind, std::nullopt, first, static_cast<std::uint64_t>(last - first)});
    }
}

std::string bytesText(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

void SaveReport::add(const SaveReport& other) {
    filesHandled += other.filesHandled;
    filesWritten += other.filesWritten;
    skipped += other.skipped;
    incomplete.insert(incomplete.end(), other.incomplete.begin(), other.incomplete.end());
    failures.insert(failures.end(), other.failures.begin(), other.failures.end());
    stopped = stopped || other.stopped;
    if (outputFolder.empty()) outputFolder = other.outputFolder;
}

std::string joinOrigin(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (name.empty()) return folder;
    return folder + "/" + name;
}

struct FolderSaver::Level {
    std::vector<ItemData> children;
    std::size_t next = 0;
    ItemData folder = kNoData;
    Target target;
    std::string origin;
    std::unique_ptr<OutputFolder> owned;  // set the folder's times when its level ends
};

FolderSaver::FolderSaver(VolumeParser& parser, ScanSink& sink, const StopFlag& stop)
    : parser_(parser), sink_(sink), stop_(stop) {}

FolderSaver::~FolderSaver() = default;

std::int64_t FolderSaver::countFolderFiles(ItemData folder) {
    std::int64_t count = 0;
    std::unordered_set<ItemData> seen{folder};
    std::vector<ItemData> pending{folder};
    while (!pending.empty()) {
        ItemData f = pending.back();
        pending.pop_back();
        parser_.forEachChild(f, [&](ItemData child) {
            if (!parser_.isFolder(child))
                ++count;
            else if (parser_.enterOnSave(child) && seen.insert(child).second)
                pending.push_back(child);
            return true;
        });
    }
    return count;
}

std::int64_t FolderSaver::countFiles(const ResultsTree& tree, TreeItem item) {
    ItemData data = tree.itemData(item);
    if (parser_.isEntry(data)) return parser_.isFolder(data) ? countFolderFiles(data) : 1;
    std::int64_t count = 0;
    for (TreeItem c = tree.firstChild(item); c; c = tree.nextSibling(c)) {
        ItemData e = tree.itemData(c);
        if (!parser_.isEntry(e)) continue;
        count += parser_.isFolder(e) ? (parser_.enterOnSave(e) ? countFolderFiles(e) : 0) : 1;
    }
    return count;
}

SavePlan FolderSaver::planChecked(const ResultsTree& tree, TreeItem top) {
    SavePlan plan;
    if (!top || tree.checkState(top) == CheckState::Unchecked) return plan;
    if (tree.checkState(top) == CheckState::Checked) {
        plan.topChecked = true;
        plan.files = countFiles(tree, top);
        return plan;
    }
    // Items are inserted as folders are opened, so the tree's depth is what the user opened.
    std::function<void(TreeItem, ItemData, std::vector<SavePlan::Node>&)> walk =
        [&](TreeItem item, ItemData parent, std::vector<SavePlan::Node>& out) {
            for (TreeItem c = tree.firstChild(item); c; c = tree.nextSibling(c)) {
                const CheckState state = tree.checkState(c);
                const ItemData e = tree.itemData(c);
                if (state == CheckState::Unchecked || !parser_.isEntry(e)) continue;
                const bool folder = parser_.isFolder(e);
                if (folder && !parser_.enterOnSave(e)) continue;
                SavePlan::Node node{e, parent, state == CheckState::Checked, {}};
                if (node.whole)
                    plan.files += folder ? countFolderFiles(e) : 1;
                else
                    walk(c, e, node.children);
                out.push_back(std::move(node));
            }
        };
    walk(top, kNoData, plan.nodes);
    return plan;
}

bool FolderSaver::openOutput(const std::string& outputDir, SaveReport& report) {
    std::string error;
    output_ = OutputFolder::open(trimRight(outputDir), error);
    report.outputFolder = trimRight(outputDir);
    if (!output_) report.failures.push_back({report.outputFolder, error});
    return output_ != nullptr;
}

std::int64_t FolderSaver::freeFor(const OutputFolder& folder, std::uint64_t size) {
    const std::uint64_t margin = 64u << 20;
    const bool plenty = knownFree_ >= 0 &&
                        static_cast<std::uint64_t>(knownFree_) > writtenSinceFree_ + size + margin;
    if (plenty && writtenSinceFree_ < margin) return knownFree_ - writtenSinceFree_;
    knownFree_ = folder.freeBytes();
    writtenSinceFree_ = 0;
    return knownFree_;
}

bool FolderSaver::stopNow(SaveReport& report) {
    if (report.stopped || stop_.requested()) report.stopped = true;
    return report.stopped;
}

FolderSaver::Target FolderSaver::enterFolder(ItemData folder, const Target& parent,
                                             std::unique_ptr<OutputFolder>& owned) {
    // A folder without a usable name keeps its files in the parent's destination.
    auto name = safeFileName(trim(parser_.entryName(folder)));
    if (!name) return parent;
    Target t;
    if (!parent.folder) {
        t = parent;
        t.shownPath = joinPath(parent.shownPath, *name);
        return t;
    }
    std::string error;
    owned = parent.folder->makeFolder(*name, error);
    if (!owned) {
        t.shownPath = parent.folder->pathOf(*name);
        t.failure = "its folder could not be made: " + error;
        return t;
    }
    t.folder = owned.get();
    t.shownPath = owned->path();
    t.relative = joinPath(parent.relative, owned->name());
    return t;
}

void FolderSaver::finishFile(SaveRecord& file, const std::string& shownPath, SaveReport& report) {
    switch (file.status) {
        case SaveStatus::Whole:
            ++report.filesWritten;
            break;
        case SaveStatus::Incomplete:
            report.incomplete.push_back(output_ ? output_->pathOf(file.savedPath) : shownPath);
            break;
        case SaveStatus::Failed:
            report.failures.push_back({shownPath, file.reason});
            break;
        case SaveStatus::Skipped:
            ++report.skipped;
            break;
    }
    if (onFileDone) onFileDone(file);
}

struct FolderSaver::Pending {
    SaveRecord record;
    std::string shown;     // where it goes, for messages
    std::string name;      // the name it should get
    std::string relative;  // its folder below the output folder
    std::optional<HeldFile> held;
    std::optional<bool> committed;  // set once it was written and named, or failed to be
    bool queued = false;            // handed to a writer thread; done when job.done
    WriterPool::Job job;
    // Instead of a file: a folder whose files are all read, to get its times once they are
    // written (every file before it is).
    std::unique_ptr<OutputFolder> folder;
    RecordedTimes folderTimes;
};

void FolderSaver::saveOne(ItemData file, ItemData parent, const Target& destination,
                          const std::string& origin, SaveReport& report) {
    ++report.filesHandled;
    inFlight_.push_back(std::make_unique<Pending>());
    Pending& p = *inFlight_.back();
    SaveRecord& f = p.record;
    const std::string entryName = parser_.entryName(file);
    f.originalPath = joinOrigin(origin, entryName);
    f.size = parser_.entrySize(file);
    f.times = parser_.recordedTimes(file);
    f.deleted = parser_.isDeleted(file, parent);
    p.name = safeFileName(trim(entryName)).value_or("unnamed");
    p.shown = joinPath(destination.shownPath, p.name);
    p.relative = destination.relative;
    sink_.setStatusText("saving File  " + p.shown);
    if (onFileSizeText) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "File size: %ld kb",
                      static_cast<long>(parser_.saveSizeKiB(file)));
        onFileSizeText(buf);
    }
    // Settled here; told of in turn, after the files read before it.
    auto done = [&](SaveStatus status, std::string reason) {
        f.status = status;
        f.reason = std::move(reason);
        deliver(report, false);
    };
    if (parser_.skipOnSave(file))
        return done(SaveStatus::Skipped,
                    "not saved: it stands for the "
                    "volume's bad clusters");
    if (!destination.folder) return done(SaveStatus::Failed, destination.failure);
    if (confirmLargeFile) {
        const std::int64_t free = freeFor(*destination.folder, f.size);
        if (free >= 0 && f.size > static_cast<std::uint64_t>(free) &&
            !confirmLargeFile(p.shown, f.size, free))
            return done(SaveStatus::Failed, "larger than the free space of the output folder");
    }

    HeldFile& out = p.held.emplace(*destination.folder, hashFiles, HeldFile::Limits{}, f.size);
    FileRecorder recorder(out, stop_);
    bool read;
    std::uint64_t lost = 0;
    {
        ReadDamageScope scope;
        read = parser_.writeEntry(file, recorder);
        const std::int64_t volumeStart = sectorsToBytes(parser_.volume.startSector);
        placeDamage(scope.ranges(), DamagedRange::Kind::Unreadable, recorder.runs(), volumeStart,
                    f.damage);
        placeDamage(scope.missingRanges(), DamagedRange::Kind::PastSourceEnd, recorder.runs(),
                    volumeStart, f.damage);
        lost = scope.unreadableBytes() + scope.missingBytes();
    }
    f.runs = std::move(recorder.runs());
    f.written = out.size();
    writtenSinceFree_ += out.bytesWritten();
    std::uint64_t outside = 0;
    for (const ByteRun& r : f.runs) {
        if (r.kind != ByteRun::Kind::Missing) continue;
        outside += r.length;
        f.damage.push_back({DamagedRange::Kind::OutsideVolume, r.fileOffset, -1, r.length});
    }

    if (recorder.stopped()) {
        out.discard();
        report.stopped = true;
        return done(SaveStatus::Failed, "the save was stopped before this file was written");
    }
    if (out.error() != 0) {
        const int err = out.error();
        out.discard();
        return done(SaveStatus::Failed, std::string("could not be written: ") + std::strerror(err));
    }
    const bool whole = read && lost == 0 && outside == 0;
    if (!whole && (out.bytesWritten() == 0 || lost >= out.bytesWritten())) {
        out.discard();
        return done(SaveStatus::Failed, "nothing of it could be read");
    }
    // Past the last byte the file system placed anywhere, the file was not found at all.
    std::uint64_t placed = f.written;
    for (const ByteRun& r : f.runs) placed = std::max(placed, r.fileOffset + r.length);
    const std::uint64_t notFound = f.size > placed ? f.size - placed : 0;
    if (!whole && notFound > 0)
        f.damage.push_back({DamagedRange::Kind::NotFound, placed, -1, notFound});

    if (whole) {
        // Whole as far as anyone can tell, but from where its data is only likely to lie.
        f.status = SaveStatus::Whole;
        f.reason = parser_.recoveryNote(file);
    } else {
        std::string reason;
        auto add = [&](std::uint64_t n, const char* what) {
            if (n == 0) return;
            if (!reason.empty()) reason += "; ";
            reason += bytesText(n) + what;
        };
        std::uint64_t unreadable = 0, pastEnd = 0;
        for (const DamagedRange& d : f.damage) {
            if (d.kind == DamagedRange::Kind::Unreadable) unreadable += d.length;
            if (d.kind == DamagedRange::Kind::PastSourceEnd) pastEnd += d.length;
        }
        add(unreadable, " unreadable, saved as zeros");
        add(pastEnd, " past the end of the source, saved as zeros");
        add(outside, " outside the volume, not there to be read");
        add(notFound, " not found");
        if (reason.empty()) reason = "its data could not be read whole";
        f.status = SaveStatus::Incomplete;
        f.reason = std::move(reason);
    }

    // The name is taken now, so files get their names in the order they were read whichever
    // is written first. A file already on disk (it outgrew memory) is named here; one held in
    // memory by a writer thread.
    out.reserveName(p.name, whole);
    Pending* pending = &p;
    auto commit = [pending] { pending->committed = pending->held->commit(); };
    if (out.direct()) {
        commit();
    } else {
        if (!writers_)
            writers_ = std::make_unique<WriterPool>(
                std::clamp(std::thread::hardware_concurrency(), 2u, 4u), kHeldBudget);
        p.job.run = commit;
        p.job.bytes = out.heldBytes();
        p.queued = true;
        batch_.push_back(&p.job);
        batchBytes_ += p.job.bytes;
        if (batch_.size() >= kBatchFiles || batchBytes_ >= kBatchBytes) submitBatch();
    }
    deliver(report, false);
}

void FolderSaver::datedOnceWritten(ItemData folder, std::unique_ptr<OutputFolder> made,
                                   SaveReport& report) {
    // Its files are read: it gets its recorded times when they have been written, in turn.
    inFlight_.push_back(std::make_unique<Pending>());
    inFlight_.back()->folderTimes = parser_.recordedTimes(folder);
    inFlight_.back()->folder = std::move(made);
    // Each holds a descriptor open.
    deliver(report, ++foldersInFlight_ > kMaxFoldersInFlight);
}

void FolderSaver::submitBatch() {
    if (batch_.empty()) return;
    writers_->submit(batch_);
    batchBytes_ = 0;
}

void FolderSaver::complete(Pending& p, SaveReport& report) {
    if (p.folder) {
        p.folder->setTimes(p.folderTimes.accessed, p.folderTimes.modified);
        --foldersInFlight_;
        return;
    }
    SaveRecord& f = p.record;
    if (p.committed == false) {
        f.status = SaveStatus::Failed;
        f.reason = std::string("could not be written: ") + std::strerror(p.held->error());
    } else if (p.committed == true) {
        f.savedPath = joinPath(p.relative, p.held->committedName());
        f.sha256 = p.held->sha256();
        if (f.status == SaveStatus::Whole && !f.reason.empty())
            sink_.setStatusText(f.reason + ": " + p.shown);
    }
    if (onFileSizeText) onFileSizeText("");
    finishFile(f, p.shown, report);
}

void FolderSaver::deliver(SaveReport& report, bool all) {
    if (all) submitBatch();
    while (!inFlight_.empty()) {
        Pending& p = *inFlight_.front();
        if (p.queued && !writers_->isDone(p.job)) {
            if (all) {
                // The last one read is about the last one written: one wait for all of them.
                auto last = std::find_if(inFlight_.rbegin(), inFlight_.rend(),
                                         [](const auto& f) { return f->queued; });
                writers_->wait((*last)->job);
                writers_->wait(p.job);
            } else if (inFlight_.size() > readAhead) {
                // Read far ahead of the writers: let them catch up halfway, in one wait. Only a
                // queued file's job ends; a folder or a file written at once has none.
                submitBatch();
                auto half = inFlight_.begin() + static_cast<std::ptrdiff_t>(inFlight_.size() / 2);
                while (!(*half)->queued) --half;
                writers_->wait((*half)->job);
            } else {
                return;
            }
            continue;
        }
        complete(p, report);
        inFlight_.pop_front();
    }
}

void FolderSaver::dumpFolder(ItemData folder, const Target& destination, const std::string& origin,
                             std::unique_ptr<OutputFolder> owned, SaveReport& report) {
    std::unordered_set<ItemData> seen{folder};
    std::vector<Level> stack;
    stack.push_back(
        {childrenOf(parser_, folder), 0, folder, destination, origin, std::move(owned)});
    while (!stack.empty()) {
        if (stopNow(report)) return deliver(report, true);
        Level& level = stack.back();
        if (level.next >= level.children.size()) {
            if (level.owned) datedOnceWritten(level.folder, std::move(level.owned), report);
            stack.pop_back();
            continue;
        }
        ItemData child = level.children[level.next++];
        sink_.setProgressPosition(report.filesHandled);
        if (parser_.isFolder(child)) {
            // Each folder is entered once, however the on-disk links loop.
            if (!parser_.enterOnSave(child) || !seen.insert(child).second) continue;
            std::unique_ptr<OutputFolder> made;
            Target t = enterFolder(child, level.target, made);
            std::string childOrigin = joinOrigin(level.origin, parser_.entryName(child));
            stack.push_back(
                {childrenOf(parser_, child), 0, child, t, childOrigin, std::move(made)});
        } else {
            saveOne(child, level.folder, level.target, level.origin, report);
        }
    }
}

SaveReport FolderSaver::saveEntry(ItemData entry, const std::string& outputDir,
                                  const std::string& origin) {
    SaveReport report;
    if (!parser_.isEntry(entry) || !openOutput(outputDir, report)) return report;
    Target top{output_.get(), "", output_->path(), ""};
    if (parser_.isFolder(entry))
        dumpFolder(entry, top, joinOrigin(origin, parser_.entryName(entry)), nullptr, report);
    else
        saveOne(entry, kNoData, top, origin, report);
    deliver(report, true);
    return report;
}

SaveReport FolderSaver::saveItem(const ResultsTree& tree, TreeItem item,
                                 const std::string& outputDir) {
    ItemData data = tree.itemData(item);
    if (parser_.isEntry(data)) {
        // The report names files by their path below the top item.
        std::string origin;
        for (TreeItem p = tree.parent(item); p && tree.parent(p); p = tree.parent(p))
            origin = joinOrigin(tree.itemText(p), origin);
        return saveEntry(data, outputDir, origin);
    }
    SaveReport report;
    if (!openOutput(outputDir, report)) return report;
    Target top{output_.get(), "", output_->path(), ""};
    // The top item stands for the volume: its children are the first level.
    for (TreeItem c = tree.firstChild(item); c && !stopNow(report); c = tree.nextSibling(c)) {
        ItemData e = tree.itemData(c);
        if (!parser_.isEntry(e)) continue;
        if (parser_.isFolder(e)) {
            if (!parser_.enterOnSave(e)) continue;
            std::unique_ptr<OutputFolder> made;
            Target t = enterFolder(e, top, made);
            dumpFolder(e, t, parser_.entryName(e), std::move(made), report);
        } else {
            saveOne(e, kNoData, top, "", report);
        }
    }
    deliver(report, true);
    return report;
}

SaveReport FolderSaver::saveFile(ItemData file, const std::string& outputDir,
                                 const std::string& origin) {
    SaveReport report;
    if (!parser_.isEntry(file) || parser_.isFolder(file) || !openOutput(outputDir, report))
        return report;
    saveOne(file, kNoData, {output_.get(), "", output_->path(), ""}, origin, report);
    deliver(report, true);
    return report;
}

void FolderSaver::savePlanNode(const SavePlan::Node& node, const Target& destination,
                               const std::string& origin, SaveReport& report) {
    if (stopNow(report)) return;
    sink_.setProgressPosition(report.filesHandled);
    if (!parser_.isFolder(node.entry)) {
        saveOne(node.entry, node.parent, destination, origin, report);
        return;
    }
    std::unique_ptr<OutputFolder> made;
    Target t = enterFolder(node.entry, destination, made);
    const std::string childOrigin = joinOrigin(origin, parser_.entryName(node.entry));
    if (node.whole) {
        dumpFolder(node.entry, t, childOrigin, std::move(made), report);
        return;
    }
    for (const SavePlan::Node& child : node.children) savePlanNode(child, t, childOrigin, report);
    if (made) datedOnceWritten(node.entry, std::move(made), report);
}

SaveReport FolderSaver::savePlan(const ResultsTree& tree, TreeItem top, const SavePlan& plan,
                                 const std::string& outputDir) {
    if (plan.topChecked) return saveItem(tree, top, outputDir);
    SaveReport report;
    if (!openOutput(outputDir, report)) return report;
    Target root{output_.get(), "", output_->path(), ""};
    for (const SavePlan::Node& node : plan.nodes) savePlanNode(node, root, "", report);
    deliver(report, true);
    return report;
}

SaveReport FolderSaver::saveFiles(const std::vector<PlacedFile>& files,
                                  const std::string& outputDir, const std::string& origin) {
    SaveReport report;
    if (!openOutput(outputDir, report)) return report;
    // A folder holding several of the files is made once; folders are told apart by the chain
    // of folders above them.
    struct Made {
        ItemData folder = kNoData;
        Target target;
        std::unique_ptr<OutputFolder> owned;
    };
    std::map<std::vector<ItemData>, Made> made;
    std::vector<const Made*> order;
    const Target root{output_.get(), "", output_->path(), ""};
    for (const PlacedFile& f : files) {
        if (stopNow(report)) break;
        if (!parser_.isEntry(f.file) || parser_.isFolder(f.file)) continue;
        sink_.setProgressPosition(report.filesHandled);
        const Target* target = &root;
        std::string fileOrigin = origin;
        ItemData parent = kNoData;
        std::vector<ItemData> chain;
        for (ItemData folder : f.folders) {
            if (!parser_.isEntry(folder)) continue;
            chain.push_back(folder);
            fileOrigin = joinOrigin(fileOrigin, parser_.entryName(folder));
            parent = folder;
            auto it = made.find(chain);
            if (it == made.end()) {
                Made m;
                m.folder = folder;
                m.target = enterFolder(folder, *target, m.owned);
                it = made.emplace(chain, std::move(m)).first;
                order.push_back(&it->second);
            }
            target = &it->second.target;
        }
        saveOne(f.file, parent, *target, fileOrigin, report);
    }
    // Folder times once nothing more is written into them, innermost first.
    deliver(report, true);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        if (!(*it)->owned) continue;
        const RecordedTimes t = parser_.recordedTimes((*it)->folder);
        (*it)->owned->setTimes(t.accessed, t.modified);
    }
    return report;
}

}  // namespace vel
