#include "cli/CliCommon.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "cli/CliSink.h"
#include "device/DriveEnumeration.h"
#include "fs/common/FileSystemTable.h"
#include "partition/Partition.h"

namespace vel::cli {

int ModeOptions::scanMode() const {
    if (mode == "advanced") return 2;
    if (mode == "deep") return 3;
    return 1;
}

void addSourceOptions(CLI::App& cmd, SourceOptions& o) {
    cmd.add_option("SOURCE", o.source, "Disk image file or block device")->required();
    auto* index =
        cmd.add_option("--volume", o.volumeIndex, "Row N of the volume list's Standard Scan");
    cmd.add_flag("--gpt", o.gpt,
                 "Read the partition table as GPT even without a protective MBR (with --volume)");
    auto* start = cmd.add_option("--start-sector", o.startSector, "Custom volume: first sector");
    auto* size = cmd.add_option("--size-mb", o.sizeMb, "Custom volume: size in MiB");
    std::string names;
    for (const FileSystemRow& row : FileSystemTable::builtin().rows())
        if (row.create) names += (names.empty() ? "" : ", ") + row.name;
    auto* fs = cmd.add_option("--fs", o.fileSystem, "Custom volume: file system (" + names + ")");
    start->needs(fs)->excludes(index);
    size->needs(start);
    fs->needs(start);
    cmd.add_flag("--json", o.json, "JSON output");
}

void addModeOptions(CLI::App& cmd, ModeOptions& o) {
    cmd.add_option("--mode", o.mode, "standard, advanced or deep")
        ->check(CLI::IsMember({"standard", "advanced", "deep"}));
    cmd.add_option("--max-fs", o.maxFileSystems,
                   "Advanced: maximum file systems to find (0 or less: 3)");
    cmd.add_option("--candidate", o.candidate,
                   "Advanced: index of the table location to use (without it they are listed)");
    cmd.add_option("--spc", o.sectorsPerCluster,
                   "Advanced: sectors per cluster, where the tables do not tell");
    cmd.add_option("--heap", o.heap, "Advanced (exFAT): index of the cluster-heap offset");
    cmd.add_flag("--formatted", o.formatted, "Advanced (FAT): the drive was formatted");
}

std::shared_ptr<DiskSource> openSource(const std::string& source) {
    std::string error;
    int errorNumber = 0;
    std::shared_ptr<DiskSource> reader = openDiskSource(source, error, &errorNumber);
    if (!reader) {
        std::string message = "cannot read " + error;
        if (openNeedsAdministrator(errorNumber, ::geteuid() == 0))
            message += "\n" + administratorHint(resolveDevicePath(source), "vellorine-cli");
        throw CliExit(kUsage, message);
    }
    if (reader->sectorCount() == 0) throw CliExit(kUsage, source + ": empty or too small");
    for (const std::string& problem : reader->image().problems)
        std::fprintf(stderr, "vellorine-cli: %s\n", problem.c_str());
    // The first few are named; a large bad area is summed up at the end.
    reader->badSectors().setListener([](std::int64_t sector, std::int64_t count) {
        if (count <= 20)
            std::fprintf(stderr, "unreadable sector %lld (read as zeros)\n",
                         static_cast<long long>(sector));
        else if (count == 21)
            std::fprintf(stderr, "more unreadable sectors...\n");
    });
    return reader;
}

void reportUnreadable(const readWriteInterface& source) {
    if (std::int64_t n = source.badSectors().count())
        std::fprintf(stderr, "%lld unreadable sectors\n", static_cast<long long>(n));
}

namespace {

std::string listRows(const std::vector<VolumeDescriptor>& rows, bool numbered) {
    std::string text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        text += "\n  ";
        if (numbered) text += std::to_string(i) + "  ";
        text += rows[i].fileSystem + "  " + rows[i].sizeText + "  start " +
                std::to_string(rows[i].startSector);
    }
    return text;
}

void printNotes(const Partition& p) {
    for (const std::string& n : p.notes) std::fprintf(stderr, "%s\n", n.c_str());
}
}  // namespace

VolumeDescriptor resolveVolume(const SourceOptions& o, const readWriteInterface& reader) {
    const std::int64_t totalSectors = reader.sectorCount();
    VolumeDescriptor v;
    if (o.startSector) {
        const std::int64_t start = *o.startSector;
        if (start < 0) throw CliExit(kUsage, "--start-sector must not be negative");
        const std::string inside = o.source + " has " + std::to_string(totalSectors) +
                                   " sectors (0 to " + std::to_string(totalSectors - 1) + ")";
        if (start >= totalSectors)
            throw CliExit(kUsage, "--start-sector " + std::to_string(start) +
                                      " lies past the end of the source: " + inside);
        if (o.sizeMb && *o.sizeMb <= 0) throw CliExit(kUsage, "--size-mb must be positive");
        if (o.sizeMb && *o.sizeMb > (totalSectors - start) / 2048)
            throw CliExit(kUsage, "the custom volume of " + std::to_string(*o.sizeMb) +
                                      " MiB from sector " + std::to_string(start) +
                                      " runs past the end of the source: " + inside);
        v.fileSystem = o.fileSystem;
        v.startSector = start;
        v.sizeText = std::to_string(o.sizeMb.value_or((totalSectors - start) / 2048));
        v.devicePath = "0";
        return v;
    }
    Partition walk;
    walk.gptMode = o.gpt;
    walk.walkPartitionTables(reader);
    printNotes(walk);
    const std::vector<VolumeDescriptor>& rows = walk.volumes;
    if (o.volumeIndex) {
        if (*o.volumeIndex < 0 || *o.volumeIndex >= static_cast<std::int64_t>(rows.size()))
            throw CliExit(kUsage, "no volume " + std::to_string(*o.volumeIndex) + " (" +
                                      std::to_string(rows.size()) + " found)");
        return rows[static_cast<std::size_t>(*o.volumeIndex)];
    }
    if (walk.sourceIsOneVolume) return rows.front();
    if (!rows.empty())
        throw CliExit(kUsage, "no file system at the start of " + o.source +
                                  "; choose a volume with --volume N:" + listRows(rows, true));

    // No table to choose from: what a search of the sectors finds instead.
    std::fprintf(stderr, "%s; searching %s for lost volumes (Advance Scan)...\n", kNoPartitionTable,
                 o.source.c_str());
    CliSink sink;
    Partition scan;
    scan.statusLine = &sink;
    {
        InterruptStops interrupt(scan.stopRequested);
        scan.scanForVolumes(reader);
    }
    sink.flush();
    printNotes(scan);
    std::string text = "no partition table and no file system at the start of " + o.source;
    if (scan.volumes.empty())
        text +=
            "; the Advance Scan found no volume either (a volume may still be given with "
            "--start-sector N --fs NAME)";
    else
        text += "; the Advance Scan found:" + listRows(scan.volumes, false) +
                "\nchoose one with --start-sector N --size-mb M --fs NAME";
    throw CliExit(kUsage, text);
}

}  // namespace vel::cli
