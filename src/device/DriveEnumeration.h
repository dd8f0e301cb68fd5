#pragma once
// What the machine offers: physical drives (whole-disk block devices in sysfs, and disk images the
// user adds) and mounted volumes (block-device mounts in mountinfo).
#include <cstdint>
#include <string>
#include <vector>

#include "core/VolumeDescriptor.h"
#include "device/DiskSource.h"

namespace vel {

// Where the sources are read; tests point prefix at a fake tree holding sys/, dev/ and proc/.
struct SystemRoots {
    std::string prefix;  // "" for the real system
    std::string path(const std::string& absolute) const { return prefix + absolute; }
};

struct PhysicalDrive {
    int number = 0;          // item data: index into the drive table
    std::string devicePath;  // /dev node or image file
    std::string text;        // model name, else the device path
    bool isImage = false;
    // Format and media size (a drive's format is "device"); an image's damage and case data.
    ImageInfo image;
};

// Whole-disk block devices that can be opened read-only, in name order. Rebuilds the drive table
// (images added before stay, after the drives).
std::vector<PhysicalDrive> enumeratePhysicalDrives(const SystemRoots& roots = {});
// Adds a disk image of any format to the drive table; its text is its path. Fails, with the
// reason in error when asked, when it cannot be opened.
bool addImageDrive(const std::string& path, PhysicalDrive& out, std::string* error = nullptr);
// The path of drive N of the table, empty when there is none.
std::string physicalDrivePath(int number);
// A drive-table reference resolves to its path; every other path stays as it is.
std::string resolveDevicePath(const std::string& path);

// Mounted volumes with their descriptors, in mount-point order (the screen lists them reversed).
std::vector<VolumeDescriptor> enumerateMountedVolumes(const SystemRoots& roots = {});

// Model name from 512 bytes of ATA identify data, words 27..46. byteSwapped: each word holds
// its high byte first (raw identify data); the kernel's HDIO_GET_IDENTITY gives plain text.
std::string identifyModelName(const std::uint8_t* identify, bool byteSwapped);

// The system's name for a mounted file-system type, looking at the boot sector when the type
// alone does not tell (fuseblk, vfat).
std::string mountedFileSystemName(const std::string& type, const std::string& devicePath);

// "%d  MB" of a byte size shifted right by 20 bits, as a signed 32-bit number.
std::string mountedSizeText(std::int64_t bytes);

}  // namespace vel
