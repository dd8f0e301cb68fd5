#include "cli/ScanRun.h"

#include <sys/resource.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "fs/common/FileSystemTable.h"
#include "scan/ResultsWalk.h"

namespace vel::cli {

namespace {

// The advanced input without its screen: the search for the tables' places, then the pick the
// options name. Without --candidate the places found are listed and the exit code is 2.
void chooseAdvancedInput(ScanRun& run, const ModeOptions& mode, bool json) {
    std::optional<AdvancedLayout> layout = run.parser->advancedLayout();
    if (!layout)
        throw CliExit(kFailed, "the advanced mode is not available for " + run.volume.fileSystem +
                                   " volumes");
    if (!layout->startStatus.empty()) run.sink->setStatusText(layout->startStatus);
    const CandidateLists lists = run.parser->searchCandidates(mode.maxFileSystems);
    run.sink->flush();
    auto listed = [](const std::vector<std::string>& texts, const std::vector<std::string>& notes,
                     const char* option) {
        std::string out;
        for (std::size_t i = 0; i < texts.size(); ++i)
            out += "\n  " + std::string(option) + " " + std::to_string(i) + "  " + texts[i] +
                   (i < notes.size() && !notes[i].empty() ? "  (" + notes[i] + ")" : "");
        return out;
    };
    if (!mode.candidate) {
        if (json) {
            auto print = [](const char* type, const std::vector<std::string>& texts,
                            const std::vector<std::string>& notes) {
                for (std::size_t i = 0; i < texts.size(); ++i) {
                    nlohmann::json line = {{"type", type},
                                           {"index", i},
                                           {"text", texts[i]},
                                           {"note", i < notes.size() ? notes[i] : ""}};
                    std::puts(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                                  .c_str());
                }
            };
            print("candidate", lists.tables, lists.tableNotes);
            print("heap", lists.heaps, lists.heapNotes);
            print("sectors_per_cluster", lists.clusterSizes, {});
            std::fflush(stdout);
        }
        std::string text = lists.message;
        text += listed(lists.tables, lists.tableNotes, "--candidate");
        text += listed(lists.heaps, lists.heapNotes, "--heap");
        if (!lists.clusterSizes.empty()) {
            text += "\n  --spc one of:";
            for (const std::string& spc : lists.clusterSizes) text += " " + spc;
        }
        text += lists.tables.empty() ? "\nnothing to choose: the advanced scan cannot start"
                                     : "\nchoose a table location with --candidate K";
        throw CliExit(kUsage, text);
    }
    AdvancedChoice choice;
    const auto count = static_cast<int>(lists.tables.size());
    if (*mode.candidate < 0 || *mode.candidate >= count)
        throw CliExit(kUsage, "no candidate " + std::to_string(*mode.candidate) + " (" +
                                  std::to_string(count) + " found)");
    choice.table = *mode.candidate;
    if (mode.heap) {
        const auto heaps = static_cast<int>(lists.heaps.size());
        if (*mode.heap < 0 || *mode.heap >= heaps)
            throw CliExit(kUsage, "no heap offset " + std::to_string(*mode.heap) + " (" +
                                      std::to_string(heaps) + " found)");
        choice.heap = *mode.heap;
    } else if (!lists.heaps.empty()) {
        choice.heap = 0;
    }
    if (mode.sectorsPerCluster) {
        if (*mode.sectorsPerCluster <= 0) throw CliExit(kUsage, "--spc must be above 0");
        choice.sectorsPerCluster = *mode.sectorsPerCluster;
    }
    run.parser->advancedChoice = choice;
}
}  // namespace

ScanRun runScan(const SourceOptions& source, const ModeOptions& mode) {
    ScanRun run;
    run.source = openSource(source.source);
    run.volume = resolveVolume(source, *run.source);
    const FileSystemTable& table = FileSystemTable::builtin();
    ParserOptions options;
    options.driveFormatted = mode.formatted;
    run.parser = createParser(table, run.volume, options);
    if (!run.parser) throw CliExit(kFailed, "not a valid drive. (" + run.volume.fileSystem + ")");

    run.tree = std::make_unique<MemoryTree>();
    run.sink = std::make_unique<CliSink>();
    run.parser->attach(run.source.get(), run.tree.get(), run.sink.get());
    const FileSystemRow* row = table.find(run.volume.fileSystem);
    if (row && !row->selectedStatus.empty()) run.sink->setStatusText(row->selectedStatus);

    // Ctrl-C stops the scan the way the Stop button does; what was found is still shown.
    WorkerResult result;
    {
        InterruptStops interrupt(run.parser->stopRequested);
        if (mode.scanMode() == 2) chooseAdvancedInput(run, mode, source.json);
        result = run.parser->runWorker(mode.scanMode());
    }
    run.sink->flush();
    for (const std::string& notice : result.notices) std::fprintf(stderr, "%s\n", notice.c_str());

    if (!result.started)
        throw CliExit(kFailed, "the " + mode.mode + " mode is not available for " +
                                   run.volume.fileSystem + " volumes");
    std::string remarks;
    for (const std::string& r : result.remarks) remarks += (remarks.empty() ? "" : "\n") + r;
    if (!result.failureBox.empty())
        throw CliExit(kFailed, result.failureBox + (remarks.empty() ? "" : "\n" + remarks));
    if (!remarks.empty()) std::fprintf(stderr, "%s\n", remarks.c_str());
    run.top = run.tree->firstChild(kNoItem);
    if (run.top == kNoItem) throw CliExit(kFailed, "the scan found nothing");
    if (foundNoFiles(*run.parser, *run.tree, run.top))
        std::fprintf(stderr, "the volume holds no files\n");
    return run;
}

void printStats(const char* what, double seconds, std::size_t items) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "stats: %s wall %.3f s, peak memory %ld KiB, items %zu\n", what, seconds,
                 usage.ru_maxrss, items);
}

}  // namespace vel::cli
