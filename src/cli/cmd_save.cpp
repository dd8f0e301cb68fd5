#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/Commands.h"
#include "cli/ScanRun.h"
#include "core/MessageBoxes.h"
#include "platform/OutputFile.h"
#include "scan/FolderSaver.h"
#include "scan/ResultsWalk.h"
#include "search/PatternSearch.h"

namespace vel::cli {

namespace {
struct SaveOptions {
    SourceOptions source;
    ModeOptions mode;
    std::string out;
    std::vector<std::string> paths;
    std::string pattern;
    bool ignoreCase = false;
    bool stats = false;
};

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
    cmd->add_flag("--stats", o->stats, "Print wall time and peak memory on stderr");
    cmd->callback([o, cmd] {
        auto started = std::chrono::steady_clock::now();
        std::optional<SearchPattern> pattern;
        if (cmd->count("--pattern")) pattern = compilePattern(o->pattern, o->ignoreCase);
        if (!makeFolder(o->out)) throw CliExit(kUsage, "cannot create the output folder " + o->out);
        ScanRun run = runScan(o->source, o->mode);
        StderrMessageBoxes boxes;
        std::vector<std::string> paths = o->paths;
        if (paths.empty()) paths.push_back(run.tree->itemText(run.top));

        SaveReport total;
        for (const std::string& path : paths) {
            FoundPath found = findResultPath(*run.parser, *run.tree, run.top, path);
            if (!found.found) throw CliExit(kUsage, "no such path in the scan: " + path);
            StopFlag stop;
            FolderSaver saver(*run.parser, *run.sink, stop);
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
            SaveReport r = pattern                 ? saver.saveFiles(matching, o->out)
                           : found.item != kNoItem ? saver.saveItem(*run.tree, found.item, o->out)
                                                   : saver.saveEntry(found.data, o->out);
            run.sink->setProgressPosition(count);
            total.filesHandled += r.filesHandled;
            total.filesWritten += r.filesWritten;
            total.failures.insert(total.failures.end(), r.failures.begin(), r.failures.end());
            total.damaged.insert(total.damaged.end(), r.damaged.begin(), r.damaged.end());
        }
        run.sink->flush();
        boxes.showInfo("work done");
        for (const std::string& f : total.damaged)
            std::fprintf(stderr, "damaged (unreadable sectors read as zeros): %s\n", f.c_str());
        for (const std::string& f : total.failures)
            std::fprintf(stderr, "not written: %s\n", f.c_str());
        std::fprintf(stderr, "%lld files saved, %zu damaged, %zu could not be written\n",
                     static_cast<long long>(total.filesWritten), total.damaged.size(),
                     total.failures.size());
        reportUnreadable(*run.source);
        if (o->stats) {
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            printStats("save", took.count(), static_cast<std::size_t>(total.filesHandled));
        }
        if (!total.failures.empty() || !total.damaged.empty()) throw CliExit(kFailed, "");
    });
}

}  // namespace vel::cli
