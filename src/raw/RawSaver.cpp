#include "raw/RawSaver.h"

#include <cerrno>

#include "platform/OutputFile.h"
#include "platform/OutputPath.h"

namespace vel {

std::string savedStatus(const FoundFile& file, const SavedFile& saved) {
    if (!saved.written) return "failed";
    if (saved.damaged) return "damaged";
    return foundStatusName(file.status);
}

std::string RawSaveReport::summary() const {
    std::string s = std::to_string(saved) + " files saved in " + outputFolder + " (" +
                    std::to_string(exact) + " exact, " + std::to_string(partial) + " partial, " +
                    std::to_string(unverified) + " by signature only)";
    if (damaged > 0)
        s += "; " + std::to_string(damaged) +
             " damaged: unreadable sectors in them were written as zeros";
    if (!failures.empty()) {
        s += "; " + std::to_string(failures.size()) + " could not be written:";
        for (std::size_t i = 0; i < failures.size() && i < 20; ++i) s += "\n" + failures[i];
        if (failures.size() > 20) s += "\n...";
    }
    if (stopped) s += "\nSaving was stopped before the end.";
    return s;
}

RawSaveReport RawSaver::save(const std::vector<std::size_t>& indexes,
                             const std::string& outputFolder) {
    RawSaveReport report;
    report.outputFolder = outputFolder;
    std::uint64_t total = 0;
    for (std::size_t i : indexes)
        if (i < engine_.found().size()) total += engine_.found()[i].size;
    sink_.setProgressRange(static_cast<std::int64_t>((total + kRawChunk - 1) / kRawChunk));
    progress_ = 0;
    for (std::size_t i : indexes) {
        if (i >= engine_.found().size()) continue;
        bool stopped = false;
        SavedFile saved = saveOne(i, outputFolder, stopped);
        if (stopped) {
            report.stopped = true;
            break;
        }
        const FoundFile& f = engine_.found()[i];
        if (!saved.written) {
            report.failures.push_back(saved.path.empty() ? engine_.nodeName(f) : saved.path);
        } else {
            ++report.saved;
            if (f.status == FoundStatus::Exact) ++report.exact;
            if (f.status == FoundStatus::Partial) ++report.partial;
            if (f.status == FoundStatus::Unverified) ++report.unverified;
            if (saved.damaged) ++report.damaged;
        }
        if (onSaved) onSaved(saved);
    }
    return report;
}

namespace {

// Hands a file's bytes on to its output file, moving the progress bar a chunk at a time; once
// Stop is pressed it takes no more, which ends the copy.
class SaveProgress final : public EntryWriter {
  public:
    SaveProgress(EntryWriter& out, ScanSink& sink, const StopFlag& stop, std::uint64_t& chunks)
        : out_(out), sink_(sink), stop_(stop), chunks_(chunks) {}
    bool write(const void* data, std::size_t size) override {
        if (stop_.requested()) {
            stopped = true;
            return false;
        }
        if (!out_.write(data, size)) return false;
        sink_.setProgressPosition(static_cast<std::int64_t>(++chunks_));
        return true;
    }
    bool stopped = false;

  private:
    EntryWriter& out_;
    ScanSink& sink_;
    const StopFlag& stop_;
    std::uint64_t& chunks_;
};

}  // namespace

SavedFile RawSaver::saveOne(std::size_t index, const std::string& outputFolder, bool& stopped) {
    const FoundFile& f = engine_.found()[index];
    SavedFile saved;
    saved.index = index;
    std::string folder =
        joinPath(outputFolder, safeFileName(engine_.categoryOf(f)).value_or("files"));
    if (!makeFolder(folder)) return saved;
    const std::string name = safeFileName(myJpg::nodeName(f)).value_or("file");
    OutputFile out;
    // Another writer may take a free name between the look and the create: look again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        saved.path = uniqueOutputPath(folder, name);
        if (out.openNew(saved.path) || errno != EEXIST) break;
    }
    if (!out.ok()) return saved;
    sink_.setStatusText("Saving " + saved.path);

    ReadDamageScope damage;
    SaveProgress progress(out, sink_, stop_, progress_);
    const bool whole = engine_.writeFound(f, progress);
    if (progress.stopped) {
        // A half-written file is not a recovered file.
        out.discard();
        stopped = true;
        return saved;
    }
    // Unreadable sectors were written as zeros: the file is there, but not as it was.
    saved.damaged = damage.unreadableBytes() > 0 || f.damaged;
    saved.written = out.finish() && whole;
    // A file cut short by a full disk would pass for a recovered one.
    if (!saved.written) out.discard();
    return saved;
}

}  // namespace vel
