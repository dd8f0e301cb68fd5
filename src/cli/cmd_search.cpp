#include <chrono>
#include <cstdio>
#include <ctime>

#include "cli/Commands.h"
#include "cli/EntryJson.h"
#include "cli/ScanRun.h"
#include "search/PatternSearch.h"

namespace vel::cli {

namespace {
struct SearchOptions {
    SourceOptions source;
    ModeOptions mode;
    std::string pattern;
    bool ignoreCase = false;
    bool stats = false;
};

void printHit(const VolumeParser& parser, const SearchHit& hit, bool json) {
    if (json) {
        putEntryJson(parser, hit.entry, hit.path, false, hit.deleted);
        return;
    }
    EntryColumns cols = parser.entryColumns(hit.entry);
    std::printf("%s\t%s\t%s\t%s\t%s\t%s%s\n", hit.path.c_str(),
                parser.entrySizeText(hit.entry).c_str(), cols.created.c_str(),
                cols.accessed.c_str(), cols.modified.c_str(), cols.attributes.c_str(),
                hit.deleted ? "\t[deleted]" : "");
}
}  // namespace

SearchPattern compilePattern(const std::string& pattern, bool ignoreCase) {
    if (pattern.empty())
        throw CliExit(kUsage, "--pattern is empty: there is nothing to search for");
    auto compiled = SearchPattern::compile(pattern, ignoreCase);
    if (!compiled) throw CliExit(kFailed, kInvalidPatternText);
    return std::move(*compiled);
}

void addPatternOptions(CLI::App& cmd, std::string& pattern, bool& ignoreCase) {
    cmd.add_option("--pattern", pattern,
                   "Regular expression (ECMAScript grammar) found anywhere in a file's name; "
                   "\"|\" joins alternatives");
    cmd.add_flag("--ignore-case", ignoreCase, "Match without regard to case");
}

void addSearchCommand(CLI::App& app) {
    auto o = std::make_shared<SearchOptions>();
    auto* cmd = app.add_subcommand("search", "Scan a volume and list the files whose names match");
    addSourceOptions(*cmd, o->source);
    addModeOptions(*cmd, o->mode);
    addPatternOptions(*cmd, o->pattern, o->ignoreCase);
    cmd->get_option("--pattern")->required();
    cmd->add_flag("--stats", o->stats, "Print wall time and peak memory on stderr");
    cmd->callback([o] {
        // A pattern that cannot be used is told before the scan, not after it.
        SearchPattern pattern = compilePattern(o->pattern, o->ignoreCase);
        auto started = std::chrono::steady_clock::now();
        ScanRun run = runScan(o->source, o->mode);
        auto scanned = std::chrono::steady_clock::now();
        timespec cpu0{}, cpu1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        StopFlag stop;
        PatternSearch search(*run.parser, *run.sink, stop);
        SearchResult result = search.searchTree(pattern, *run.tree, run.top);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        auto searched = std::chrono::steady_clock::now();
        run.sink->setStatusText(kSearchFinishedText);
        run.sink->flush();

        for (const SearchHit& hit : result.hits) printHit(*run.parser, hit, o->source.json);
        if (o->source.json) {
            putSummaryJson(result.hits.size(), run.source->badSectors().count());
        }
        std::fflush(stdout);
        reportUnreadable(*run.source);
        if (o->stats) {
            printStats("scan", std::chrono::duration<double>(scanned - started).count(),
                       run.tree->liveItemCount());
            printStats("search", std::chrono::duration<double>(searched - scanned).count(),
                       static_cast<std::size_t>(result.filesTested));
            // The machine may be shared: the step's own processor time beside its wall time.
            std::fprintf(stderr, "stats: search cpu %.3f s, hits %zu\n",
                         static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                             static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9,
                         result.hits.size());
        }
    });
}

}  // namespace vel::cli
