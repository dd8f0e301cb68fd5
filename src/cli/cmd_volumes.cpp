#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <tuple>

#include "cli/CliCommon.h"
#include "cli/CliSink.h"
#include "cli/Commands.h"
#include "device/MediaDigest.h"
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
    bool verify = false;
};

// What the image says about itself: format, size, segments, damage, case data, stored hashes.
nlohmann::json imageJson(const ImageInfo& info) {
    nlohmann::json image = {{"format", info.format}, {"media_size", info.mediaSize}};
    image["md5"] = info.md5.empty() ? nlohmann::json() : nlohmann::json(info.md5);
    image["sha1"] = info.sha1.empty() ? nlohmann::json() : nlohmann::json(info.sha1);
    for (const auto& [key, value] : info.caseData) image[key] = value;
    image["files"] = info.files;
    image["problems"] = info.problems;
    return image;
}

// Reads the whole media and compares it with the stored hashes. Adds "verify" to image; true
// when every sector was read and no stored hash disagrees.
bool verifyImage(const DiskSource& source, nlohmann::json& image) {
    CliSink progress;
    progress.setStatusText("verifying the image");
    progress.setProgressRange(source.byteSize() >> 20);
    MediaDigest d = digestMedia(source, [&](std::int64_t done, std::int64_t) {
        progress.setProgressPosition(done >> 20);
        return true;
    });
    progress.flush();
    const ImageInfo& info = source.image();
    auto verdict = [](const std::string& stored, const std::string& computed) {
        return stored.empty() ? nlohmann::json() : nlohmann::json(stored == computed);
    };
    const bool stored = !info.md5.empty() || !info.sha1.empty();
    if (!stored)
        std::fprintf(stderr, "no hash is stored in the image; MD5 %s, SHA1 %s\n", d.md5.c_str(),
                     d.sha1.c_str());
    // Unreadable sectors read as zeros: a hash over them proves nothing either way.
    bool good = d.unreadableBytes == 0;
    if (!good)
        std::fprintf(stderr, "%llu bytes could not be read: the image cannot be verified\n",
                     static_cast<unsigned long long>(d.unreadableBytes));
    for (auto [name, stored, computed] :
         {std::tuple{"MD5", info.md5, d.md5}, std::tuple{"SHA1", info.sha1, d.sha1}}) {
        if (stored.empty()) continue;
        if (stored == computed) {
            std::fprintf(stderr, "%s verified: %s\n", name, computed.c_str());
        } else {
            std::fprintf(stderr, "%s does not match the data: stored %s, computed %s\n", name,
                         stored.c_str(), computed.c_str());
            good = false;
        }
    }
    image["verify"] = {{"md5", d.md5},
                       {"sha1", d.sha1},
                       {"md5_matches", verdict(info.md5, d.md5)},
                       {"sha1_matches", verdict(info.sha1, d.sha1)},
                       {"unreadable_bytes", d.unreadableBytes},
                       {"verified", stored || !good ? nlohmann::json(good) : nlohmann::json()}};
    return good;
}

void runVolumes(const VolumesOptions& o) {
    std::shared_ptr<DiskSource> source = openSource(o.source);
    nlohmann::json image = imageJson(source->image());
    const bool verified = !o.verify || verifyImage(*source, image);
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
        InterruptStops interrupt(partition.stopRequested);
        result = partition.scanForVolumes(*source);
    } else {
        result = partition.walkPartitionTables(*source);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    sink.flush();
    for (const std::string& n : partition.notes) std::fprintf(stderr, "%s\n", n.c_str());
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
        out["notes"] = partition.notes;
        out["unreadable_sectors"] = source->badSectors().count();
        out["image"] = image;
        std::printf("%s\n",
                    out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        const ImageInfo& info = source->image();
        if (info.format != imageformat::kRaw && info.format != imageformat::kDevice) {
            std::printf("IMAGE %s, %lld bytes\n", info.format.c_str(),
                        static_cast<long long>(info.mediaSize));
            for (const auto& [key, value] : info.caseData)
                std::printf("  %-30s %s\n", key.c_str(), value.c_str());
            if (!info.md5.empty()) std::printf("  %-30s %s\n", "md5", info.md5.c_str());
            if (!info.sha1.empty()) std::printf("  %-30s %s\n", "sha1", info.sha1.c_str());
        }
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
    if (!verified) throw CliExit(kFailed, o.source + ": the image could not be verified");
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
    cmd->add_flag("--gpt", o->gpt, "Read the partition table as GPT even without a protective MBR");
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
    cmd->add_flag("--verify", o->verify,
                  "Read the whole image and check it against the hashes stored in it");
    cmd->callback([o] { runVolumes(*o); });
}

}  // namespace vel::cli
