#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/CliCommon.h"
#include "cli/CliSink.h"
#include "cli/Commands.h"
#include "cli/ScanRun.h"
#include "core/MessageBoxes.h"
#include "platform/OutputFile.h"
#include "raw/RawSaver.h"
#include "scan/MemoryTree.h"

namespace vel::cli {

namespace {

struct CarveOptions {
    SourceOptions source;  // its file system is not used
    std::string out;
    std::vector<std::string> signatures;
    bool noDefault = false;
    bool unaligned = false;
    bool json = false;
    bool stats = false;
};

// The part of SOURCE to carve: a row of the volume list, a given range, or all of it.
void chooseRange(const SourceOptions& o, const readWriteInterface& source,
                 std::int64_t& startSector, std::uint64_t& bytes) {
    const std::int64_t total = source.sectorCount();
    startSector = 0;
    bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(total, 0)) * 512;
    if (o.startSector || o.volumeIndex) {
        // Checks the range against the source, or names the rows to choose from.
        const VolumeDescriptor v = resolveVolume(o, source);
        startSector = v.startSector;
        const std::uint64_t rest =
            static_cast<std::uint64_t>(std::max<std::int64_t>(total - startSector, 0)) * 512;
        // A custom range without a size runs to the source's end, not to its last whole MiB.
        const bool toEnd = o.startSector && !o.sizeMb;
        const std::int64_t mb = sizeTextMiB(v.sizeText);
        if (!toEnd && mb <= 0) throw CliExit(kUsage, "zero size volume..");
        bytes = toEnd ? rest : std::min<std::uint64_t>(static_cast<std::uint64_t>(mb) << 20, rest);
    }
    if (bytes == 0) throw CliExit(kUsage, "zero size volume..");
}

}  // namespace

void addCarveCommand(CLI::App& app) {
    auto o = std::make_shared<CarveOptions>();
    auto* cmd = app.add_subcommand(
        "carve", "Find files by their signatures (no file system needed) and save them into DIR");
    cmd->add_option("SOURCE", o->source.source, "Disk image file or block device")->required();
    auto* index = cmd->add_option("--volume", o->source.volumeIndex, "Row N of the volume list");
    cmd->add_flag("--gpt", o->source.gpt, "Read the partition table as GPT (with --volume)");
    auto* start =
        cmd->add_option("--start-sector", o->source.startSector, "Carve from this sector on");
    cmd->add_option("--size-mb", o->source.sizeMb, "Carve this many MiB (with --start-sector)")
        ->needs(start);
    start->excludes(index);
    cmd->add_option("--out", o->out, "Output folder (created if missing)")->required();
    cmd->add_option("--signatures", o->signatures, "A signature file of your own (repeatable)");
    cmd->add_flag("--no-default", o->noDefault, "Leave out the default FileSetting.txt");
    cmd->add_flag("--unaligned", o->unaligned,
                  "Also look for the default types at every byte, not only at sector starts");
    cmd->add_flag("--json", o->json, "One JSON object per found file");
    cmd->add_flag("--stats", o->stats, "Print wall time and scan speed on stderr");
    cmd->callback([o] {
        const auto started = std::chrono::steady_clock::now();
        StderrMessageBoxes boxes;
        std::shared_ptr<DiskSource> source = openSource(o->source.source);
        std::int64_t startSector = 0;
        std::uint64_t bytes = 0;
        chooseRange(o->source, *source, startSector, bytes);

        myJpg engine;
        std::vector<std::pair<std::string, bool>> files;
        if (!o->noDefault) files.emplace_back(defaultSignatureFilePath(), true);
        for (const std::string& f : o->signatures) files.emplace_back(f, false);
        if (files.empty()) throw CliExit(kUsage, "enter the info file first..");
        for (const auto& [path, isDefault] : files) {
            LoadResult r = engine.loadDefinitions(path, isDefault);
            if (!r.ok) throw CliExit(kUsage, path + ": " + r.message);
            if (!r.message.empty()) boxes.showInfo(path + ":\n" + r.message);
        }
        if (engine.definitions().empty()) throw CliExit(kUsage, "no usable signatures");
        if (!makeFolder(o->out)) throw CliExit(kUsage, "cannot create the output folder " + o->out);

        MemoryTree tree;
        CliSink sink;
        engine.attach(source.get(), &tree, &sink);
        engine.setVolume(sectorsToBytes(startSector), bytes);
        engine.unaligned = o->unaligned;
        sink.setStatusText("Processing.....");
        InterruptStops interrupt(engine.stopRequested);
        const bool ran = engine.runScan(o->out);
        const auto scanned = std::chrono::steady_clock::now();
        if (!ran) throw CliExit(kFailed, engine.message());
        sink.flush();
        std::fprintf(stderr, "%zu files found\n", engine.found().size());

        std::vector<std::size_t> all(engine.found().size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        RawSaver saver(engine, sink, engine.stopRequested);
        saver.onSaved = [&](const SavedFile& s) {
            const FoundFile& f = engine.found()[s.index];
            const std::string status = savedStatus(f, s);
            if (o->json) {
                nlohmann::json line = {
                    {"offset", f.start},        {"size", f.size},
                    {"extension", f.extension}, {"category", engine.categoryOf(f)},
                    {"path", s.path},           {"status", status}};
                std::puts(
                    line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            } else {
                std::printf("%llu\t%llu\t%s\t%s\t%s\t%s\n",
                            static_cast<unsigned long long>(f.start),
                            static_cast<unsigned long long>(f.size), f.extension.c_str(),
                            engine.categoryOf(f).c_str(), status.c_str(), s.path.c_str());
            }
        };
        RawSaveReport report = saver.save(all, o->out);
        std::fflush(stdout);
        sink.flush();
        reportUnreadable(*source);
        std::fprintf(stderr, "%s\n", report.summary().c_str());
        if (o->stats) {
            std::chrono::duration<double> scan = scanned - started;
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            std::fprintf(stderr, "stats: carve scan %.3f s (%.0f MiB/s), with saving %.3f s\n",
                         scan.count(), static_cast<double>(bytes) / (1 << 20) / scan.count(),
                         took.count());
            printStats("carve", took.count(), engine.found().size());
        }
        if (!report.failures.empty()) throw CliExit(kFailed, "");
        if (report.stopped) throw CliExit(kFailed, "stopped");
    });
}

}  // namespace vel::cli
