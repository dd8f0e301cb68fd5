#include <gtest/gtest.h>

#include <filesystem>

#include "device/DriveEnumeration.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {
struct FakeSystem : ::testing::Test {
    TempDir root;
    SystemRoots roots{root.path()};

    void disk(const std::string& name, std::int64_t bytes, const std::string& model = "") {
        std::string dir = root.path() + "/sys/block/" + name;
        fs::create_directories(dir + "/device");
        writeFile(dir + "/size", std::to_string(bytes / 512) + "\n");
        if (!model.empty()) writeFile(dir + "/device/model", model + "\n");
        device(name, bytes);
    }
    void device(const std::string& name, std::int64_t bytes) {
        fs::create_directories(root.path() + "/dev");
        std::string path = root.path() + "/dev/" + name;
        writeFile(path, "");
        fs::resize_file(path, static_cast<std::uintmax_t>(bytes));
    }
    void mountinfo(const std::string& text) {
        fs::create_directories(root.path() + "/proc/self");
        writeFile(root.path() + "/proc/self/mountinfo", text);
    }
};
}  // namespace

TEST_F(FakeSystem, DrivesInNameOrderWithModelsOrTheirPath) {
    disk("sdb", 1 << 20, "Second Disk   ");
    disk("sda", 1 << 20, "");
    disk("nvme0n1", 1 << 20, "Fast One");
    disk("loop0", 1 << 20);  // no backing file: nothing on it
    disk("ram0", 1 << 20);
    disk("sdc", 0);  // empty card reader
    disk("sdd", 1 << 20, "Gone");
    fs::remove(root.path() + "/dev/sdd");  // cannot be opened: not listed

    auto drives = enumeratePhysicalDrives(roots);
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].text, "Fast One");
    EXPECT_EQ(drives[1].text, root.path() + "/dev/sda");
    EXPECT_EQ(drives[2].text, "Second Disk");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(drives[i].number, i);
        EXPECT_EQ(physicalDrivePath(i), drives[i].devicePath);
    }
    EXPECT_EQ(resolveDevicePath("\\\\.\\PhysicalDrive2"), root.path() + "/dev/sdb");
    EXPECT_EQ(physicalDrivePath(3), "");

    PhysicalDrive image;
    ASSERT_TRUE(addImageDrive(root.path() + "/dev/sda", image));
    EXPECT_EQ(image.number, 3);
    EXPECT_TRUE(image.isImage);
    EXPECT_FALSE(addImageDrive(root.path() + "/nothing.img", image));
    EXPECT_EQ(enumeratePhysicalDrives(roots).back().text, root.path() + "/dev/sda");
}

TEST_F(FakeSystem, MountedBlockDevicesWithTheirDescriptors) {
    device("sda1", 500LL << 20);
    device("sda2", 3LL << 20);
    std::string fat(512, '\0');
    fat[22] = 0;  // FAT32: no 16-bit FAT size
    writeFile(root.path() + "/dev/sda2", fat);
    fs::resize_file(root.path() + "/dev/sda2", 3 << 20);
    device("sdb1", 1LL << 20);
    mountinfo(
        "22 1 0:21 / /proc rw - proc proc rw\n"
        "30 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "31 30 8:2 / /boot/efi rw - vfat /dev/sda2 rw\n"
        "32 30 8:1 /home /home rw - ext4 /dev/sda1 rw\n"
        "33 30 8:17 / /media/my\\040stick rw - ntfs3 /dev/sdb1 rw\n"
        "34 30 8:33 / /media/gone rw - exfat /dev/sdc1 rw\n");
    auto volumes = enumerateMountedVolumes(roots);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].rootPath, "/");
    EXPECT_EQ(volumes[0].fileSystem, "extX");
    EXPECT_EQ(volumes[0].sizeText, "500  MB");
    EXPECT_EQ(volumes[0].devicePath, root.path() + "/dev/sda1");
    EXPECT_EQ(volumes[0].startSector, 0);
    EXPECT_EQ(volumes[1].rootPath, "/boot/efi");
    EXPECT_EQ(volumes[1].fileSystem, "FAT32");
    EXPECT_EQ(volumes[2].rootPath, "/media/my stick");
    EXPECT_EQ(volumes[2].fileSystem, "NTFS");
    EXPECT_EQ(volumes[2].sizeText, "1  MB");
}

TEST(Enumeration, SizeTextAndModelNames) {
    EXPECT_EQ(mountedSizeText(500LL << 30), "512000  MB");
    std::uint8_t identify[512] = {};
    // "WD Blue" stored high byte first in each word: "DW" " B" "ul" "e "
    const char* swapped = "DWB ul e";
    std::memcpy(identify + 54, swapped, 8);
    EXPECT_EQ(identifyModelName(identify, true), "WD Blue");
    std::memcpy(identify + 54, "WD Blue ", 8);
    EXPECT_EQ(identifyModelName(identify, false), "WD Blue");
    std::memset(identify + 54, ' ', 40);
    EXPECT_EQ(identifyModelName(identify, false), "");
}
