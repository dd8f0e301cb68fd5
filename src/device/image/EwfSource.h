#pragma once
// Expert Witness images (E01 and its segments, also Ex01 and SMART s01 where the library reads
// them) through libewf. Chunks whose checksum fails and the ranges of missing or cut-short
// segments read as unreadable sectors.
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "device/DiskSource.h"

namespace vel {

// How the segments of a set are named: stem + "." + prefix + counter, the counter 01..99 then
// AA..ZZ (in the case of the prefix).
struct EwfName {
    std::string stem;
    std::string prefix;  // "E", "e", "Ex", "s", "L" ...
    int number = 1;      // of the segment the name denotes, from 1
};
inline constexpr int kMaxEwfSegments = 99 + 26 * 26;

std::optional<EwfName> parseEwfName(const std::string& path);
// "" past kMaxEwfSegments.
std::string ewfSegmentName(const EwfName& set, int number);

// How a segment file ends: with the section that says the set is complete, with the one that
// says another segment follows, or cut short before either.
enum class EwfSegmentEnd { Done, Next, Cut };
// What a walk of a segment's sections found: the file range of the chunks of the last sectors
// section (cut at the end of the file; {0, 0} when there is none) and the chunks its tables
// list (a table follows its sectors section, so a cut segment's last chunks are not counted).
struct EwfSegmentWalk {
    std::pair<std::uint64_t, std::uint64_t> sectorsData{0, 0};
    std::uint64_t tableChunks = 0;
    std::string md5, sha1;  // of the media, from the hash or digest section (lowercase hex)
};
// Walks the section chain of a segment (76-byte descriptors from offset 13). A chain that leaves
// the file, goes backwards or runs past the section limit counts as cut short.
EwfSegmentEnd ewfSegmentEnd(const std::string& path, EwfSegmentWalk* walk = nullptr);

bool hasEwfSignature(const std::string& path);
// Opens the set path belongs to (any of its segments may be named). nullptr with error set when
// not even the first segment can be read.
std::shared_ptr<DiskSource> openEwf(const std::string& path, std::string& error);

}  // namespace vel
