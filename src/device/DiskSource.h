#pragma once
// Sources opened from a path: a drive, a raw image, a split raw set, or an image container
// (EWF, VHD/VHDX, VMDK, QCOW2). The kind is chosen by what the file holds, not by its name.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/readWriteInterface.h"

namespace vel {

// Format names as shown to the user and in JSON.
namespace imageformat {
inline constexpr const char* kDevice = "device";
inline constexpr const char* kRaw = "raw";
inline constexpr const char* kSplitRaw = "split raw";
inline constexpr const char* kEwf = "EWF";
inline constexpr const char* kVhd = "VHD";
inline constexpr const char* kVhdx = "VHDX";
inline constexpr const char* kVmdk = "VMDK";
inline constexpr const char* kQcow = "QCOW2";
}  // namespace imageformat

// What an opened source says about itself. A drive or a raw file fills only the first fields.
struct ImageInfo {
    std::string format;
    std::int64_t mediaSize = 0;      // bytes of the disk the image holds
    std::vector<std::string> files;  // every file read, first the one opened
    // Damage met while opening (a missing or cut-short segment), one sentence each naming the
    // file and the sectors that read as unreadable because of it.
    std::vector<std::string> problems;
    // Acquisition details in the image's order (EWF): case number, examiner, dates...
    std::vector<std::pair<std::string, std::string>> caseData;
    std::string md5, sha1;  // stored hashes of the media, lowercase hex; "" when not stored
};

// A source opened from a path. Reads are safe from any number of threads.
class DiskSource : public SectorSource {
  public:
    const std::string& openedPath() const { return path_; }
    const ImageInfo& image() const { return info_; }

  protected:
    std::string path_;
    ImageInfo info_;
};

// Opens path read-only as whatever it holds: a container by its signature, a split raw set by
// its numbered pieces, else the bytes as they are. Null, with error set, when it cannot be read;
// errorNumber, when given, then holds the errno of a failed open (0 when the contents failed).
std::shared_ptr<DiskSource> openDiskSource(const std::string& path, std::string& error,
                                           int* errorNumber = nullptr);

// "16 MB", "4 KB": a media size for the image list.
std::string imageSizeText(std::int64_t bytes);

// "disk.E02 is missing: sectors 16320 to 67583 read as unreadable" for the bytes
// [firstByte, endByte) that a damaged file takes with it (file named by its last component).
std::string damageNote(const std::string& file, const std::string& what, std::int64_t firstByte,
                       std::int64_t endByte);

}  // namespace vel
