#include "device/DriveEnumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "device/FileReadSeek.h"

namespace vel {

namespace {

struct DriveTable {
    std::mutex mutex;
    std::vector<std::string> drives;   // numbers 0.. of the enumerated drives
    std::vector<std::string> images;   // numbers after them
    std::vector<ImageInfo> imageInfo;  // one for each image
};

DriveTable& table() {
    static DriveTable t;
    return t;
}

std::string readFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool canOpen(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// sda < sdb < sdaa, nvme0n1 < nvme0n2 < nvme0n10
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            unsigned long long x = std::stoull(a.substr(i, ie - i));
            unsigned long long y = std::stoull(b.substr(j, je - j));
            if (x != y) return x < y;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool isWholeDiskCandidate(const SystemRoots& roots, const std::string& name) {
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) return false;
    std::string dir = roots.path("/sys/block/" + name);
    // A loop device without a backing file has nothing on it.
    if (name.rfind("loop", 0) == 0 && readFirstLine(dir + "/loop/backing_file").empty())
        return false;
    std::string size = readFirstLine(dir + "/size");
    return !size.empty() && size != "0";
}

std::string modelName(const SystemRoots& roots, const std::string& name, const std::string& dev) {
    int fd = ::open(dev.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        std::uint16_t identify[256] = {};
        bool answered = ::ioctl(fd, HDIO_GET_IDENTITY, identify) == 0;
        ::close(fd);
        if (answered) {
            std::string model =
                identifyModelName(reinterpret_cast<const std::uint8_t*>(identify), false);
            if (!model.empty()) return model;
        }
    }
    return trim(readFirstLine(roots.path("/sys/block/" + name + "/device/model")));
}

std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

std::string identifyModelName(const std::uint8_t* identify, bool byteSwapped) {
    std::string model;
    for (int word = 27; word <= 46; ++word) {
        std::uint8_t lo = identify[2 * word], hi = identify[2 * word + 1];
        if (byteSwapped) {
            model += static_cast<char>(hi);
            model += static_cast<char>(lo);
        } else {
            model += static_cast<char>(lo);
            model += static_cast<char>(hi);
        }
    }
    model.erase(std::find(model.begin(), model.end(), '\0'), model.end());
    return trim(model);
}

std::vector<PhysicalDrive> enumeratePhysicalDrives(const SystemRoots& roots) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(roots.path("/sys/block").c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && isWholeDiskCandidate(roots, name))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end(), naturalLess);

    std::vector<PhysicalDrive> drives;
    std::vector<std::string> paths;
    for (const std::string& name : names) {
        std::string dev = roots.path("/dev/" + name);
        // A drive that cannot be opened is left out; the ones after it are still offered.
        if (!canOpen(dev)) continue;
        PhysicalDrive d;
        d.number = static_cast<int>(paths.size());
        d.devicePath = dev;
        std::string model = modelName(roots, name, dev);
        d.text = model.empty() ? dev : model;
        d.image.format = imageformat::kDevice;
        const std::string sectors = readFirstLine(roots.path("/sys/block/" + name + "/size"));
        d.image.mediaSize = sectorsToBytes(static_cast<std::int64_t>(leadingNumber(sectors)));
        paths.push_back(dev);
        drives.push_back(d);
    }

    DriveTable& t = table();
    std::lock_guard lock(t.mutex);
    t.drives = paths;
    for (std::size_t i = 0; i < t.images.size(); ++i) {
        PhysicalDrive d;
        d.number = static_cast<int>(paths.size() + i);
        d.devicePath = t.images[i];
        d.text = t.images[i];
        d.isImage = true;
        d.image = t.imageInfo[i];
        drives.push_back(d);
    }
    return drives;
}

bool addImageDrive(const std::string& path, PhysicalDrive& out, std::string* error) {
    std::string reason;
    std::shared_ptr<DiskSource> source = openDiskSource(path, reason);
    if (!source) {
        if (error) *error = reason;
        return false;
    }
    DriveTable& t = table();
    std::lock_guard lock(t.mutex);
    auto it = std::find(t.images.begin(), t.images.end(), path);
    std::size_t index = static_cast<std::size_t>(it - t.images.begin());
    if (it == t.images.end()) {
        t.images.push_back(path);
        t.imageInfo.push_back(source->image());
    } else {
        t.imageInfo[index] = source->image();
    }
    out.number = static_cast<int>(t.drives.size() + index);
    out.devicePath = path;
    out.text = path;
    out.isImage = true;
    out.image = source->image();
    return true;
}

std::string physicalDrivePath(int number) {
    DriveTable& t = table();
    std::lock_guard lock(t.mutex);
    if (number < 0) return {};
    auto n = static_cast<std::size_t>(number);
    if (n < t.drives.size()) return t.drives[n];
    n -= t.drives.size();
    return n < t.images.size() ? t.images[n] : std::string();
}

std::string resolveDevicePath(const std::string& path) {
    static const std::string prefix = "\\\\.\\PhysicalDrive";
    if (path.rfind(prefix, 0) == 0) {
        std::string resolved =
            physicalDrivePath(static_cast<int>(leadingNumber(path.substr(prefix.size()))));
        if (!resolved.empty()) return resolved;
    }
    return path;
}

std::string mountedSizeText(std::int64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d  MB", static_cast<std::int32_t>(bytes >> 20));
    return buf;
}

std::string mountedFileSystemName(const std::string& type, const std::string& devicePath) {
    if (type == "ntfs" || type == "ntfs3") return "NTFS";
    if (type == "exfat") return "exFAT";
    if (type == "ext2" || type == "ext3" || type == "ext4") return "extX";
    if (type == "hfsplus") return "HFS+";
    if (type == "vfat" || type == "msdos" || type == "fuseblk") {
        unsigned char boot[512] = {};
        int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
        bool read =
            fd >= 0 && ::pread(fd, boot, sizeof boot, 0) == static_cast<ssize_t>(sizeof boot);
        if (fd >= 0) ::close(fd);
        if (read) {
            if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) return "NTFS";
            if (std::memcmp(boot + 3, "EXFAT   ", 8) == 0) return "exFAT";
            if (type != "fuseblk") {
                // FAT32 keeps its 16-bit sectors-per-FAT field at 0.
                return (boot[22] | (boot[23] << 8)) == 0 ? "FAT32" : "FAT";
            }
        }
        return type == "fuseblk" ? type : "FAT";
    }
    return type;
}

std::vector<VolumeDescriptor> enumerateMountedVolumes(const SystemRoots& roots) {
    std::ifstream in(roots.path("/proc/self/mountinfo"));
    std::vector<VolumeDescriptor> volumes;
    std::vector<std::string> seenDevices;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majorMinor, root, mountPoint, options, field;
        if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint >> options)) continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        if (!(fields >> type >> source)) continue;
        source = unescapeMountField(source);
        if (source.rfind("/dev/", 0) != 0) continue;  // block-device mounts only
        std::string device = roots.path(source);
        if (std::find(seenDevices.begin(), seenDevices.end(), device) != seenDevices.end())
            continue;
        int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        std::int64_t bytes = deviceByteSize(fd);
        ::close(fd);
        seenDevices.push_back(device);

        VolumeDescriptor v;
        v.fileSystem = mountedFileSystemName(type, device);
        v.rootPath = unescapeMountField(mountPoint);
        v.devicePath = device;
        v.sizeText = mountedSizeText(bytes < 0 ? 0 : bytes);
        v.startSector = 0;
        volumes.push_back(v);
    }
    std::sort(volumes.begin(), volumes.end(),
              [](const VolumeDescriptor& a, const VolumeDescriptor& b) {
                  return a.rootPath < b.rootPath;
              });
    return volumes;
}

}  // namespace vel
