#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
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
    bool entry = parser.isEntry(w.data);
    EntryColumns cols = entry ? parser.entryColumns(w.data) : EntryColumns{};
    std::uint64_t size = entry && !w.folder ? parser.entrySize(w.data) : 0;
    std::string sizeText = entry && !w.folder ? parser.entrySizeText(w.data) : "";
    if (json) {
        // One object for every line, its members assigned in place: a scan prints hundreds of
        // thousands of lines, and building each object anew cost more than the scan.
        static nlohmann::json line = {{"path", ""},     {"type", ""},      {"deleted", false},
                                      {"size", 0u},     {"size_text", ""}, {"created", ""},
                                      {"accessed", ""}, {"modified", ""},  {"attributes", ""}};
        line["path"].get_ref<std::string&>() = w.path;
        line["type"].get_ref<std::string&>() = w.folder ? "dir" : "file";
        line["deleted"].get_ref<bool&>() = w.deleted;
        line["size"].get_ref<std::uint64_t&>() = size;
        line["size_text"].get_ref<std::string&>() = sizeText;
        line["created"].get_ref<std::string&>() = cols.created;
        line["accessed"].get_ref<std::string&>() = cols.accessed;
        line["modified"].get_ref<std::string&>() = cols.modified;
        line["attributes"].get_ref<std::string&>() = cols.attributes;
        std::puts(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return;
    }
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
        std::fflush(stdout);
        if (options->stats) {
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            printStats("scan", took.count(), items);
        }
    });
}

}  // namespace vel::cli
