#include "cli/ScanRun.h"

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "app/CKestrumApp.h"
#include "scan/ParserChoice.h"

namespace vel::cli {

namespace {
std::atomic<StopFlag*> interruptTarget{nullptr};

void onInterrupt(int) {
    if (StopFlag* f = interruptTarget.load()) f->request();
}
}  // namespace

ScanRun runScan(const SourceOptions& source, const ModeOptions& mode) {
    openSource(source.source);
    CKestrumApp& app = CKestrumApp::instance();
    app.driveFormatted = mode.formatted;
    ScanRun run;
    run.volume = resolveVolume(source);
    ParserKind kind = chooseParser(run.volume.fileSystem);
    run.parser = createParser(kind, run.volume);
    if (!run.parser) throw CliExit(kFailed, "not a valid drive. (" + run.volume.fileSystem + ")");

    run.tree = std::make_unique<MemoryTree>();
    run.sink = std::make_unique<CliSink>();
    run.parser->attach(app.reader(), run.tree.get(), run.sink.get());
    std::string selected = parserSelectedStatus(kind);
    if (!selected.empty()) run.sink->setStatusText(selected);

    // Ctrl-C stops the scan the way the Stop button does; what was found is still shown.
    interruptTarget = &run.parser->stopRequested;
    auto previous = std::signal(SIGINT, onInterrupt);
    WorkerResult result = run.parser->runWorker(mode.scanMode());
    std::signal(SIGINT, previous);
    interruptTarget = nullptr;
    run.sink->flush();

    if (!result.started)
        throw CliExit(kFailed, "the " + mode.mode + " mode is not available for " +
                                   run.volume.fileSystem + " volumes");
    if (!result.failureBox.empty()) throw CliExit(kFailed, result.failureBox);
    run.top = run.tree->firstChild(kNoItem);
    if (run.top == kNoItem) throw CliExit(kFailed, "the scan found nothing");
    return run;
}

void printStats(const char* what, double seconds, std::size_t items) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "stats: %s wall %.3f s, peak memory %ld KiB, items %zu\n", what, seconds,
                 usage.ru_maxrss, items);
}

}  // namespace vel::cli
