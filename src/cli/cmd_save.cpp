#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/ScanRun.h"
#include "core/MessageBoxes.h"
#include "platform/OutputPath.h"
#include "platform/SameDevice.h"
#include "scan/FolderSaver.h"
#include "scan/RecoveryReport.h"
#include "scan/ResultsWalk.h"
#include "search/PatternSearch.h"

namespace vel::cli {

namespace {
struct SaveOptions {
    SourceOptions source;
    ModeOptions mode;
    std::string out;
    std::vector<std::string> paths;
    std::string report;
    bool noReport = false;
    bool allowSameDevice = false;
    bool allowLarge = false;
    std::string pattern;
    bool ignoreCase = false;
    bool stats = false;
};

std::string sizeText(std::uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return buf;
}

void printSummary(const SaveReport& total, const std::string& out, const std::string& report) {
    for (const std::string& f : total.incomplete)
        std::fprintf(stderr, "incomplete (what could be read, not under its own name): %s\n",
                     f.c_str());
    for (const SaveFailure& f : total.failures)
        std::fprintf(stderr, "not saved: %s: %s\n", f.path.c_str(), f.reason.c_str());
    std::fprintf(stderr, "%s%lld saved whole, %zu incomplete, %zu failed; output folder %s\n",
                 total.stopped ? "stopped: " : "", static_cast<long long>(total.filesWritten),
                 total.incomplete.size(), total.failures.size(), out.c_str());
    if (!report.empty()) std::fprintf(stderr, "recovery report: %s\n", report.c_str());
}

// The files below a path whose names match, placed as saving the path would place them.
std::vector<PlacedFile> matchingFiles(ScanRun& run, const SearchPattern& pattern,
                                      const FoundPath& found, const std::string& path) {
    StopFlag stop;
    PatternSearch search(*run.parser, *run.sink, stop);
    const bool fromTop = !run.parser->isEntry(found.data);
    SearchResult result =
        fromTop ? search.searchTree(pattern, *run.tree, found.item)
                : search.searchEntry(pattern, found.data, path, /*deletedLook=*/false);
    std::vector<PlacedFile> files;
    files.reserve(result.hits.size());
    for (const SearchHit& hit : result.hits) {
        std::vector<ItemData> folders = result.foldersOf(hit);
        // A saved folder's children go straight into the output folder.
        if (!fromTop && !folders.empty()) folders.erase(folders.begin());
        files.push_back({hit.entry, std::move(folders)});
    }
    return files;
}
}  // namespace

void addSaveCommand(CLI::App& app) {
    auto o = std::make_shared<SaveOptions>();
    auto* cmd = app.add_subcommand("save", "Save a folder or file of a scanned volume into DIR");
    addSourceOptions(*cmd, o->source);
    addModeOptions(*cmd, o->mode);
    cmd->add_option("--out", o->out, "Output folder (created if missing)")->required();
    cmd->add_option("--path", o->paths,
                    "Tree path to save, e.g. ROOT/docs (default: the top item); with --pattern, "
                    "the matching files below it, in their folders");
    addPatternOptions(*cmd, o->pattern, o->ignoreCase);
    auto* report = cmd->add_option("--report", o->report,
                                   "Write the recovery report (DFXML) to FILE instead of into DIR");
    cmd->add_flag("--no-report", o->noReport, "Write no recovery report")->excludes(report);
    cmd->add_flag("--allow-same-device", o->allowSameDevice,
                  "Save even when DIR lies on the block device being recovered");
    cmd->add_flag("--allow-large-files", o->allowLarge,
                  "Write files larger than the free space of the output folder");
    cmd->add_flag("--stats", o->stats, "Print wall time and peak memory on stderr");
    cmd->callback([o, cmd] {
        auto started = std::chrono::steady_clock::now();
        std::optional<SearchPattern> pattern;
        if (cmd->count("--pattern")) pattern = compilePattern(o->pattern, o->ignoreCase);
        // Checked before anything is read or written.
        if (!o->allowSameDevice && outputOnSourceDevice(o->source.source, o->out))
            throw CliExit(kUsage, "the output folder " + o->out + " lies on " + o->source.source +
                                      ", the disk being recovered: saving there can overwrite "
                                      "what is being recovered. Choose a folder on another disk "
                                      "(or give --allow-same-device)");
        {
            std::string error;
            if (!OutputFolder::open(o->out, error))
                throw CliExit(kUsage, "cannot create the output folder " + error);
        }
        StopFlag stop;
        InterruptGuard guard(stop);
        ScanRun run = runScan(o->source, o->mode);
        StderrMessageBoxes boxes;
        std::vector<std::string> paths = o->paths;
        if (paths.empty()) paths.push_back(run.tree->itemText(run.top));

        std::unique_ptr<RecoveryReport> report;
        if (!o->noReport && !stop.isSet()) {
            report = o->report.empty() ? RecoveryReport::intoFolder(o->out)
                                       : RecoveryReport::atPath(o->report);
            std::string error;
            if (!report->begin({o->source.source, run.source->byteSize(), ""},
                               {run.volume.fileSystem, run.volume.startSector, 0}, commandLine(),
                               error))
                throw CliExit(kFailed, "cannot write the recovery report: " + error);
        }

        SaveReport total;
        total.outputFolder = o->out;
        for (const std::string& path : paths) {
            if (stop.isSet()) {
                total.stopped = true;
                break;
            }
            FoundPath found = findResultPath(*run.parser, *run.tree, run.top, path);
            if (!found.found) throw CliExit(kUsage, "no such path in the scan: " + path);
            FolderSaver saver(*run.parser, *run.sink, stop);
            if (report) saver.onFileDone = [&](const SaveRecord& f) { report->add(f); };
            saver.hashFiles = report != nullptr;
            saver.confirmLargeFile = [&](const std::string& file, std::uint64_t size,
                                         std::int64_t free) {
                if (o->allowLarge) return true;
                std::fprintf(stderr,
                             "%s is %s, more than the %s free in the output folder: not saved "
                             "(--allow-large-files saves it)\n",
                             file.c_str(), sizeText(size).c_str(),
                             sizeText(static_cast<std::uint64_t>(free)).c_str());
                return false;
            };
            std::vector<PlacedFile> matching;
            if (pattern) matching = matchingFiles(run, *pattern, found, path);
            std::int64_t count = pattern ? static_cast<std::int64_t>(matching.size())
                                 : found.item != kNoItem ? saver.countFiles(*run.tree, found.item)
                                 : run.parser->isFolder(found.data)
                                     ? saver.countFolderFiles(found.data)
                                     : 1;
            run.sink->setProgressRange(count);
            char question[160];
            std::snprintf(question, sizeof question,
                          "number of files found inside this folder = %lld .do u want to continue "
                          "dumping these files..?",
                          static_cast<long long>(count));
            if (!boxes.askYesNo(question)) continue;
            // The path's folders below the top item, for the report's original paths: those
            // above the saved entry, and with --pattern the entry's own (its files are placed
            // below it).
            std::string origin, below;
            const std::size_t first = path.find('/'), last = path.rfind('/');
            if (first != std::string::npos && run.parser->isEntry(found.data))
                below = path.substr(first + 1);
            if (first != std::string::npos && last > first)
                origin = path.substr(first + 1, last - first - 1);
            SaveReport r = pattern                 ? saver.saveFiles(matching, o->out, below)
                           : found.item != kNoItem ? saver.saveItem(*run.tree, found.item, o->out)
                                                   : saver.saveEntry(found.data, o->out, origin);
            if (!r.stopped) run.sink->setProgressPosition(count);
            total.add(r);
        }
        total.stopped = total.stopped || stop.isSet();
        run.sink->flush();
        if (!total.stopped) boxes.showInfo("work done");
        std::string reportPath;
        if (report) {
            std::string error;
            if (report->finish(total, error))
                reportPath = report->path();
            else
                std::fprintf(stderr, "the recovery report could not be written: %s\n",
                             error.c_str());
        }
        printSummary(total, o->out, reportPath);
        reportUnreadable(*run.source);
        if (o->stats) {
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            printStats("save", took.count(), static_cast<std::size_t>(total.filesHandled));
        }
        if (total.stopped) throw CliExit(kStopped, "");
        if (!total.failures.empty() || !total.incomplete.empty()) throw CliExit(kFailed, "");
    });
}

}  // namespace vel::cli
