#include "cli/CliCommon.h"

#include "fs/ntfs/ntfs.h"

#include <cstdio>

#include "fs/common/FileSystemTable.h"
#include "partition/FileSystemProbe.h"

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
    cmd.add_flag("--gpt", o.gpt, "Read the partition table as GPT (with --volume)");
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
    cmd.add_option("--max-fs", o.maxFileSystems, "Advanced: maximum file systems to find");
    cmd.add_option("--candidate", o.candidate, "Advanced: index of the table location to use");
    cmd.add_option("--spc", o.sectorsPerCluster, "Advanced: sectors per cluster");
    cmd.add_option("--heap", o.heap, "Advanced (exFAT): index of the cluster-heap offset");
    cmd.add_flag("--formatted", o.formatted, "Advanced (FAT): the drive was formatted");
}

std::shared_ptr<DiskSource> openSource(const std::string& source) {
    std::string error;
    std::shared_ptr<DiskSource> reader = openDiskSource(source, error);
    if (!reader) throw CliExit(kUsage, "cannot read " + error);
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

VolumeDescriptor resolveVolume(const SourceOptions& o, const readWriteInterface& reader) {
    const std::int64_t totalSectors = reader.sectorCount();
    VolumeDescriptor v;
    if (o.startSector) {
        if (*o.startSector < 0) throw CliExit(kUsage, "--start-sector must not be negative");
        v.fileSystem = o.fileSystem;
        v.startSector = *o.startSector;
        std::int64_t mb = o.sizeMb.value_or((totalSectors - v.startSector) / 2048);
        v.sizeText = std::to_string(mb);
        v.devicePath = "0";
        return v;
    }
    std::vector<VolumeDescriptor> rows = listStandardVolumes(reader, o.gpt);
    if (o.volumeIndex) {
        if (*o.volumeIndex < 0 || *o.volumeIndex >= static_cast<std::int64_t>(rows.size()))
            throw CliExit(kUsage, "no volume " + std::to_string(*o.volumeIndex) + " (" +
                                      std::to_string(rows.size()) + " found)");
        return rows[static_cast<std::size_t>(*o.volumeIndex)];
    }
    std::string fs = probeFileSystem(reader, 0);
    // A bare NTFS volume whose boot sector is gone is still found by its MFT.
    if (fs.empty() && rows.empty() &&
        ntfsMftSearchFinds(reader, static_cast<std::uint64_t>(totalSectors) * 512))
        fs = "NTFS";
    if (!fs.empty()) {
        v.fileSystem = fs;
        v.startSector = 0;
        v.sizeText = std::to_string(totalSectors / 2048);
        v.devicePath = "0";
        return v;
    }
    std::string listing =
        "no file system at the start of the source; choose a volume with --volume N";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        listing += "\n  " + std::to_string(i) + "  " + rows[i].fileSystem + "  " +
                   rows[i].sizeText + "  start " + std::to_string(rows[i].startSector);
    }
    if (rows.empty()) listing += "\n  (no volumes in the partition tables)";
    throw CliExit(kUsage, listing);
}

}  // namespace vel::cli
