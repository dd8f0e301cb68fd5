#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/CliCommon.h"
#include "cli/CliSink.h"
#include "cli/Commands.h"
#include "partition/Partition.h"

namespace vel::cli {

namespace {
struct VolumesOptions {
    std::string source;
    bool gpt = false;
    bool advance = false;
    std::int64_t startSector = 0;
    std::int64_t endSector = 0;
    bool noSkip = false;
    bool json = false;
    bool stats = false;
};

void runVolumes(const VolumesOptions& o) {
    std::shared_ptr<FileReadSeek> source = openSource(o.source);
    CliSink sink;
    Partition partition;
    partition.statusLine = &sink;
    partition.gptMode = o.gpt;
    auto started = std::chrono::steady_clock::now();
    int result;
    if (o.advance) {
        partition.skipVolumeExtent = !o.noSkip;
        // A negative end drops the range, as on the drive parsing screen.
        if (o.endSector >= 0) {
            partition.customStartSector = o.startSector;
            partition.customEndSector = o.endSector;
        }
        result = partition.scanForVolumes(*source);
    } else {
        result = partition.walkPartitionTables(*source);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    sink.flush();
    reportUnreadable(*source);

    const auto& rows = partition.volumes;
    if (o.json) {
        nlohmann::json out;
        out["volumes"] = nlohmann::json::array();
        for (std::size_t i = 0; i < rows.size(); ++i)
            out["volumes"].push_back({{"index", i},
                                      {"fileSystem", rows[i].fileSystem},
                                      {"sizeText", rows[i].sizeText},
                                      {"startSector", rows[i].startSector}});
        out["unreadable_sectors"] = source->badSectors().count();
        std::printf("%s\n",
                    out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        std::printf("%-8s %-30s %-14s %s\n", "VOLUME", "FILE_SYSTEM", "VOLUME_SIZE",
                    "START_SECTOR");
        for (std::size_t i = 0; i < rows.size(); ++i)
            std::printf("%-8zu %-30s %-14s %lld\n", i, rows[i].fileSystem.c_str(),
                        rows[i].sizeText.c_str(), static_cast<long long>(rows[i].startSector));
    }
    std::fflush(stdout);
    if (o.stats) {
        double mib = static_cast<double>(source->byteSize()) / 1048576.0;
        std::fprintf(stderr, "stats: %.3f s, %.0f MiB/s over the whole source\n", seconds,
                     seconds > 0 ? mib / seconds : 0.0);
    }
    bool failed = o.advance ? result != 1 : result != 0;
    if (failed)
        throw CliExit(kFailed, "reading " + o.source + " failed (error " + std::to_string(result) +
                                   "); the volumes found before it are listed");
}
}  // namespace

void addVolumesCommand(CLI::App& app) {
    auto o = std::make_shared<VolumesOptions>();
    auto* cmd = app.add_subcommand(
        "volumes", "List the volumes of a drive or image: partition tables, or a sector scan");
    cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
    cmd->add_flag("--gpt", o->gpt, "Read the partition table as GPT");
    auto* advance = cmd->add_flag("--advance", o->advance, "Search the sectors for lost volumes");
    cmd->add_option("--start-sector", o->startSector, "Advance: first sector to search")
        ->needs(advance);
    cmd->add_option("--end-sector", o->endSector,
                    "Advance: no new 1 MiB block is started after this sector")
        ->needs(advance);
    cmd->add_flag("--no-skip", o->noSkip, "Advance: keep searching inside volumes found")
        ->needs(advance);
    cmd->add_flag("--json", o->json, "JSON output");
    cmd->add_flag("--stats", o->stats, "Print wall time and throughput on stderr");
    cmd->callback([o] { runVolumes(*o); });
}

}  // namespace vel::cli
