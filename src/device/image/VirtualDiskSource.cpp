#include "device/image/VirtualDiskSource.h"

#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace vel {

namespace {

// A chain of differencing images deeper than this is taken for a loop.
constexpr int kMaxParents = 16;

// The parts of one library the source uses, under common names.
struct Vhdi {
    using Handle = libvhdi_file_t;
    using Error = libvhdi_error_t;
    static int init(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
    static int open(Handle* h, const char* path, Error** e) {
        return libvhdi_file_open(h, path, libvhdi_get_access_flags_read(), e);
    }
    static void release(Handle** h) {
        libvhdi_file_close(*h, nullptr);
        libvhdi_file_free(h, nullptr);
    }
    static int mediaSize(Handle* h, size64_t* size, Error** e) {
        return libvhdi_file_get_media_size(h, size, e);
    }
    static ssize_t read(Handle* h, void* buffer, size_t count, off64_t offset, Error** e) {
        return libvhdi_file_read_buffer_at_offset(h, buffer, count, offset, e);
    }
    static int errorText(Error* e, char* text, size_t size) {
        return libvhdi_error_sprint(e, text, size);
    }
    static void errorFree(Error** e) { libvhdi_error_free(e); }
    static int parentName(Handle* h, uint8_t* name, size_t size) {
        uint32_t type = 0;
        if (libvhdi_file_get_disk_type(h, &type, nullptr) != 1 ||
            type != LIBVHDI_DISK_TYPE_DIFFERENTIAL)
            return 0;
        return libvhdi_file_get_utf8_parent_filename(h, name, size, nullptr);
    }
    static int setParent(Handle* child, Handle* parent, Error** e) {
        return libvhdi_file_set_parent_file(child, parent, e);
    }
    static std::string format(Handle* h) {
        int type = 0;
        libvhdi_file_get_file_type(h, &type, nullptr);
        return type == LIBVHDI_FILE_TYPE_VHDX ? imageformat::kVhdx : imageformat::kVhd;
    }
    static std::string refusal(Handle*) { return {}; }
};

struct Vmdk {
    using Handle = libvmdk_handle_t;
    using Error = libvmdk_error_t;
    static int init(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
    static int open(Handle* h, const char* path, Error** e) {
        if (libvmdk_handle_open(h, path, libvmdk_get_access_flags_read(), e) != 1) return -1;
        // The extents are named in the descriptor relative to its folder.
        std::string folder = std::filesystem::path(path).parent_path().string();
        if (folder.empty()) folder = ".";
        if (libvmdk_handle_set_extent_data_files_path(h, folder.c_str(), folder.size(), e) != 1)
            return -1;
        return libvmdk_handle_open_extent_data_files(h, e);
    }
    static void release(Handle** h) {
        libvmdk_handle_close(*h, nullptr);
        libvmdk_handle_free(h, nullptr);
    }
    static int mediaSize(Handle* h, size64_t* size, Error** e) {
        return libvmdk_handle_get_media_size(h, size, e);
    }
    static ssize_t read(Handle* h, void* buffer, size_t count, off64_t offset, Error** e) {
        return libvmdk_handle_read_buffer_at_offset(h, buffer, count, offset, e);
    }
    static int errorText(Error* e, char* text, size_t size) {
        return libvmdk_error_sprint(e, text, size);
    }
    static void errorFree(Error** e) { libvmdk_error_free(e); }
    static int parentName(Handle* h, uint8_t* name, size_t size) {
        return libvmdk_handle_get_utf8_parent_filename(h, name, size, nullptr);
    }
    static int setParent(Handle* child, Handle* parent, Error** e) {
        return libvmdk_handle_set_parent_handle(child, parent, e);
    }
    static std::string format(Handle*) { return imageformat::kVmdk; }
    static std::string refusal(Handle*) { return {}; }
};

struct Qcow {
    using Handle = libqcow_file_t;
    using Error = libqcow_error_t;
    static int init(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
    static int open(Handle* h, const char* path, Error** e) {
        return libqcow_file_open(h, path, libqcow_get_access_flags_read(), e);
    }
    static void release(Handle** h) {
        libqcow_file_close(*h, nullptr);
        libqcow_file_free(h, nullptr);
    }
    static int mediaSize(Handle* h, size64_t* size, Error** e) {
        return libqcow_file_get_media_size(h, size, e);
    }
    static ssize_t read(Handle* h, void* buffer, size_t count, off64_t offset, Error** e) {
        return libqcow_file_read_buffer_at_offset(h, buffer, count, offset, e);
    }
    static int errorText(Error* e, char* text, size_t size) {
        return libqcow_error_sprint(e, text, size);
    }
    static void errorFree(Error** e) { libqcow_error_free(e); }
    static int parentName(Handle* h, uint8_t* name, size_t size) {
        return libqcow_file_get_utf8_backing_filename(h, name, size, nullptr);
    }
    static int setParent(Handle* child, Handle* parent, Error** e) {
        return libqcow_file_set_parent_file(child, parent, e);
    }
    static std::string format(Handle* h) {
        uint32_t version = 0;
        libqcow_file_get_format_version(h, &version, nullptr);
        return version == 1 ? "QCOW" : imageformat::kQcow;
    }
    static std::string refusal(Handle* h) {
        uint32_t method = 0;
        if (libqcow_file_get_encryption_method(h, &method, nullptr) == 1 && method != 0)
            return "the image is encrypted";
        return {};
    }
};

// The library's own words for an error, last line first (the outermost cause).
template <class Lib>
std::string errorMessage(typename Lib::Error* e) {
    if (!e) return "unknown error";
    char text[1024] = {};
    Lib::errorText(e, text, sizeof text);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
    const std::size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

// A parent named in an image: as written when that path exists, else its last component (of a
// Windows or POSIX path) beside the child.
std::string findParent(const std::string& child, const std::string& named) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!named.empty() && named[0] == '/' && fs::is_regular_file(named, ec)) return named;
    const std::size_t cut = named.find_last_of("\\/");
    const std::string leaf = cut == std::string::npos ? named : named.substr(cut + 1);
    const fs::path beside = fs::path(child).parent_path() / leaf;
    return fs::is_regular_file(beside, ec) ? beside.string() : std::string();
}

template <class Lib>
class LibyalDisk final : public DiskSource {
  public:
    ~LibyalDisk() override {
        for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) Lib::release(&*it);
    }

    static std::shared_ptr<DiskSource> open(const std::string& path, std::string& error) {
        std::shared_ptr<LibyalDisk> source(new LibyalDisk);
        std::set<std::string> seen;
        std::string current = path;
        for (int depth = 0;; ++depth) {
            typename Lib::Handle* h = nullptr;
            typename Lib::Error* e = nullptr;
            if (Lib::init(&h, &e) != 1) {
                error = path + ": " + errorMessage<Lib>(e);
                Lib::errorFree(&e);
                return nullptr;
            }
            if (Lib::open(h, current.c_str(), &e) != 1) {
                error = current + ": " + errorMessage<Lib>(e);
                Lib::errorFree(&e);
                Lib::release(&h);
                return nullptr;
            }
            source->chain_.push_back(h);
            source->info_.files.push_back(current);
            if (std::string refused = Lib::refusal(h); !refused.empty()) {
                error = current + ": " + refused;
                return nullptr;
            }
            std::error_code ec;
            seen.insert(std::filesystem::weakly_canonical(current, ec).string());
            uint8_t name[4096] = {};
            if (Lib::parentName(h, name, sizeof name) != 1 || name[0] == 0) break;
            const std::string named(reinterpret_cast<const char*>(name));
            const std::string parent = findParent(current, named);
            if (parent.empty()) {
                error = current + ": its parent image " + named + " is missing";
                return nullptr;
            }
            if (depth + 1 >= kMaxParents ||
                seen.count(std::filesystem::weakly_canonical(parent, ec).string())) {
                error = current + ": its parent images form a loop";
                return nullptr;
            }
            current = parent;
        }
        // Each image reads through to the one beneath it.
        for (std::size_t i = source->chain_.size(); i-- > 1;) {
            typename Lib::Error* e = nullptr;
            if (Lib::setParent(source->chain_[i - 1], source->chain_[i], &e) != 1) {
                error = source->info_.files[i - 1] + ": " + errorMessage<Lib>(e);
                Lib::errorFree(&e);
                return nullptr;
            }
        }
        size64_t size = 0;
        Lib::mediaSize(source->chain_.front(), &size, nullptr);
        source->setByteSize(static_cast<std::int64_t>(size));
        source->path_ = path;
        source->info_.format = Lib::format(source->chain_.front());
        source->info_.mediaSize = static_cast<std::int64_t>(size);
        return source;
    }

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override {
        // A library handle keeps a position and caches: one reader at a time.
        std::lock_guard lock(mutex_);
        typename Lib::Error* e = nullptr;
        ssize_t n = Lib::read(chain_.front(), buffer, count, offset, &e);
        if (n < 0) {
            Lib::errorFree(&e);
            return -1;
        }
        return n;
    }

  private:
    LibyalDisk() = default;
    mutable std::mutex mutex_;
    std::vector<typename Lib::Handle*> chain_;  // the image, then its parents
};

}  // namespace

VirtualDiskKind virtualDiskKind(const std::string& path) {
    if (libqcow_check_file_signature(path.c_str(), nullptr) == 1) return VirtualDiskKind::Qcow;
    if (libvhdi_check_file_signature(path.c_str(), nullptr) == 1) return VirtualDiskKind::Vhdi;
    if (libvmdk_check_file_signature(path.c_str(), nullptr) == 1) return VirtualDiskKind::Vmdk;
    return VirtualDiskKind::None;
}

std::shared_ptr<DiskSource> openVirtualDisk(VirtualDiskKind kind, const std::string& path,
                                            std::string& error) {
    switch (kind) {
        case VirtualDiskKind::Vhdi:
            return LibyalDisk<Vhdi>::open(path, error);
        case VirtualDiskKind::Vmdk:
            return LibyalDisk<Vmdk>::open(path, error);
        case VirtualDiskKind::Qcow:
            return LibyalDisk<Qcow>::open(path, error);
        case VirtualDiskKind::None:
            break;
    }
    error = path + ": not a virtual disk";
    return nullptr;
}

}  // namespace vel
