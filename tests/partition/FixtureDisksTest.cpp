#include <gtest/gtest.h>

#include "device/FileReadSeek.h"
#include "partition/FileSystemProbe.h"
#include "partition/Partition.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

struct Row {
    std::string fileSystem, sizeText;
    std::int64_t startSector;
    bool operator==(const Row&) const = default;
};
void PrintTo(const Row& r, std::ostream* os) {
    *os << "{" << r.fileSystem << ", '" << r.sizeText << "', " << r.startSector << "}";
}

std::vector<Row> expected(const nlohmann::json& list) {
    std::vector<Row> out;
    for (const auto& r : list)
        out.push_back({r["fileSystem"], r["sizeText"], r["startSector"].get<std::int64_t>()});
    return out;
}
std::vector<Row> actual(const std::vector<VolumeDescriptor>& v) {
    std::vector<Row> out;
    for (const auto& d : v) out.push_back({d.fileSystem, d.sizeText, d.startSector});
    return out;
}

struct Disk {
    nlohmann::json manifest;
    FileReadSeek reader;
    explicit Disk(const std::string& name) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        EXPECT_TRUE(reader.openDevice(fixtureImage(name + ".img")));
        EXPECT_EQ(reader.sectorCount(), manifest["sectors"].get<std::int64_t>());
    }
};

const char* kDisks[] = {"part-mbr",    "part-gpt",    "lost-gpt",   "lost-volumes", "fat32-boot0",
                        "fat16-boot0", "exfat-boot0", "ntfs-boot0", "gpt-backup",   "mbr-zeroed"};

}  // namespace

TEST(FixtureDisks, StandardScanListsExactlyTheTablesPartitions) {
    for (const char* name : kDisks) {
        Disk disk(name);
        EXPECT_EQ(actual(listStandardVolumes(disk.reader, false)),
                  expected(disk.manifest["standard"]))
            << name;
        if (!disk.manifest["gpt"].is_null()) {
            EXPECT_EQ(actual(listStandardVolumes(disk.reader, true)),
                      expected(disk.manifest["gpt"]))
                << name;
        }
    }
}

TEST(FixtureDisks, AdvanceScanFindsEveryVolume) {
    for (const char* name : kDisks) {
        Disk disk(name);
        Partition p;
        EXPECT_EQ(p.scanForVolumes(disk.reader), 1) << name;
        EXPECT_EQ(actual(p.volumes), expected(disk.manifest["advance"])) << name;
    }
}

TEST(FixtureDisks, ProbeNamesEachVolumeAtItsStart) {
    for (const char* name : {"part-mbr", "lost-volumes"}) {
        Disk disk(name);
        for (const auto& r : disk.manifest["advance"])
            EXPECT_EQ(probeFileSystem(disk.reader, r["startSector"].get<std::int64_t>()),
                      r["fileSystem"].get<std::string>())
                << name << " at " << r["startSector"];
    }
}

TEST(FixtureDisks, WithoutSkippingEveryVolumeIsStillListedOnceAtItsStart) {
    for (const char* name : {"lost-volumes", "fat32-boot0", "exfat-boot0", "ntfs-boot0"}) {
        Disk disk(name);
        Partition p;
        p.skipVolumeExtent = false;
        p.scanForVolumes(disk.reader);
        // No backup boot sector makes a row of its own.
        for (const auto& v : disk.manifest["volumes"]) {
            // NTFS keeps its copy right after the sectors it counts.
            std::int64_t offset = v["kind"] == "ntfs" ? v["volumeSectors"].get<std::int64_t>()
                                  : v.value("backupBootSector", nlohmann::json()).is_null()
                                      ? -1
                                      : v["backupBootSector"].get<std::int64_t>();
            if (offset < 0) continue;
            const std::int64_t copy = v["startSector"].get<std::int64_t>() + offset;
            for (const auto& row : p.volumes) EXPECT_NE(row.startSector, copy) << name;
        }
        for (const Row& r : expected(disk.manifest["advance"])) {
            int times = 0;
            for (const auto& v : p.volumes) times += actual({v})[0] == r;
            EXPECT_EQ(times, 1) << name << ": " << r.fileSystem << " at " << r.startSector;
        }
    }
}
