#include "platform/SameDevice.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vel {

namespace {

// Deepest chain of devices stacked on each other that is followed.
constexpr int kMaxStack = 16;

std::string sysfsOf(dev_t dev) {
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

bool readDevFile(const std::string& path, dev_t& dev) {
    std::ifstream in(path);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return false;
    dev = makedev(maj, min);
    return true;
}

// The device a file system shows as its st_dev. File systems without one device of their own
// (btrfs, for one) give an anonymous number: the mount table names their device.
dev_t fileSystemDevice(dev_t stDev) {
    if (major(stDev) != 0) return stDev;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    const std::string key = "0:" + std::to_string(minor(stDev));
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        if (numbers != key) continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type, source;
        tail >> type >> source;
        struct stat st {};
        if (source.rfind("/dev/", 0) == 0 && ::stat(source.c_str(), &st) == 0 &&
            S_ISBLK(st.st_mode))
            return st.st_rdev;
    }
    return stDev;
}

// The device and everything it is built on: its whole disk when it is a partition, the devices
// below a mapper or RAID, the device holding a loop device's file.
std::set<dev_t> devicesBelow(dev_t top) {
    std::set<dev_t> seen;
    std::vector<std::pair<dev_t, int>> pending{{top, 0}};
    while (!pending.empty()) {
        auto [dev, depth] = pending.back();
        pending.pop_back();
        if (!seen.insert(dev).second || depth >= kMaxStack || major(dev) == 0) continue;
        const std::string sys = sysfsOf(dev);
        dev_t other{};
        struct stat st {};
        if (::stat((sys + "/partition").c_str(), &st) == 0 && readDevFile(sys + "/../dev", other))
            pending.emplace_back(other, depth + 1);
        if (DIR* slaves = ::opendir((sys + "/slaves").c_str())) {
            while (dirent* d = ::readdir(slaves))
                if (d->d_name[0] != '.' &&
                    readDevFile(sys + "/slaves/" + d->d_name + "/dev", other))
                    pending.emplace_back(other, depth + 1);
            ::closedir(slaves);
        }
        std::ifstream backing(sys + "/loop/backing_file");
        std::string file;
        if (std::getline(backing, file) && ::stat(file.c_str(), &st) == 0)
            pending.emplace_back(fileSystemDevice(st.st_dev), depth + 1);
    }
    return seen;
}

}  // namespace

bool outputOnSourceDevice(const std::string& source, const std::string& outputDir) {
    struct stat src {};
    if (::stat(source.c_str(), &src) != 0 || !S_ISBLK(src.st_mode)) return false;
    std::string dir = outputDir.empty() ? "." : outputDir;
    struct stat out {};
    while (::stat(dir.c_str(), &out) != 0) {
        const std::size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos)
            dir = ".";
        else if (slash == 0)
            dir = "/";
        else
            dir.resize(slash);
        if ((dir == "." || dir == "/") && ::stat(dir.c_str(), &out) != 0) return false;
    }
    return devicesBelow(fileSystemDevice(out.st_dev)).count(src.st_rdev) != 0;
}

}  // namespace vel
