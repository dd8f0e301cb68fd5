#include <chrono>
#include <cstdio>

#include "cli/Commands.h"
#include "cli/EntryJson.h"
#include "cli/ScanRun.h"
#include "scan/ResultsWalk.h"

namespace vel::cli {

namespace {
struct ScanOptions {
    SourceOptions source;
    ModeOptions mode;
    bool stats = false;
};

void printItem(const VolumeParser& parser, const WalkedItem& w, bool json) {
    if (json) {
        putEntryJson(parser, w.data, w.path, w.folder, w.deleted);
        return;
    }
    bool entry = parser.isEntry(w.data);
    EntryColumns cols = entry ? parser.entryColumns(w.data) : EntryColumns{};
    std::string sizeText = entry && !w.folder ? parser.entrySizeText(w.data) : "";
    std::string name = w.path.substr(w.path.rfind('/') + 1);
    std::string indent(static_cast<std::size_t>(w.depth) * 2, ' ');
    if (w.folder)
        std::printf("%s%s/%s\n", indent.c_str(), name.c_str(), w.deleted ? "  [deleted]" : "");
    else
        std::printf("%s%s  %s  %s%s\n", indent.c_str(), name.c_str(), sizeText.c_str(),
                    cols.modified.c_str(), w.deleted ? "  [deleted]" : "");
}
}  // namespace

void addScanCommand(CLI::App& app) {
    auto options = std::make_shared<ScanOptions>();
    auto* cmd = app.add_subcommand(
        "scan", "Scan a volume and print what it holds, deleted entries included");
    addSourceOptions(*cmd, options->source);
    addModeOptions(*cmd, options->mode);
    cmd->add_flag("--stats", options->stats, "Print wall time and peak memory on stderr");
    cmd->callback([options] {
        auto started = std::chrono::steady_clock::now();
        ScanRun run = runScan(options->source, options->mode);
        std::size_t items = 0;
        walkResults(*run.parser, *run.tree, run.top, [&](const WalkedItem& w) {
            ++items;
            printItem(*run.parser, w, options->source.json);
            return true;
        });
        const std::int64_t unreadable = run.source->badSectors().count();
        if (options->source.json) {
            putSummaryJson(items, unreadable);
        }
        std::fflush(stdout);
        reportUnreadable(*run.source);
        if (options->stats) {
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            printStats("scan", took.count(), items);
        }
    });
}

}  // namespace vel::cli
