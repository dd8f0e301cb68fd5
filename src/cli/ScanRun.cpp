#include "cli/ScanRun.h"

#include <sys/resource.h>

#include <cstdio>

#include "fs/common/FileSystemTable.h"
#include "scan/ResultsWalk.h"

namespace vel::cli {

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
