#pragma once
// The recycle bin's index files ("$I" + suffix): the path a deleted file had, decoded from the
// file's bytes. Two layouts exist, told apart by the 8-byte version at byte 0:
//   1: size at 8, deletion time at 16, the path from 24 (zero-terminated UTF-16, 260 units);
//   2: the same header, then the path length in UTF-16 units at 24 and the path from 28.
// Bounds rule: nothing is read outside [bytes, bytes + size); a path that runs past the end is
// cut there, and an index whose fixed fields do not fit is refused.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vel::recycle {

inline constexpr std::size_t kVersionOffset = 0;
inline constexpr std::size_t kOriginalSizeOffset = 8;
inline constexpr std::size_t kDeletionTimeOffset = 16;
inline constexpr std::size_t kV1PathOffset = 24;
inline constexpr std::size_t kV2PathLengthOffset = 24;
inline constexpr std::size_t kV2PathOffset = 28;
// Index files of the first layout are read only when shorter than this.
inline constexpr std::size_t kV1MaxBytes = 2048;
// A path of the second layout holds at most 32,767 characters and its terminator.
inline constexpr std::size_t kV2MaxPathUnits = 32768;
inline constexpr std::size_t kMaxIndexBytes = kV2PathOffset + 2 * kV2MaxPathUnits;

struct IndexFile {
    std::uint64_t version = 0;
    std::uint64_t originalSize = 0;
    std::uint64_t deletionTime = 0;  // FILETIME
    std::u16string path;             // up to its first NUL
};

// The index in bytes; nullopt for an unknown version, a first-layout file of kV1MaxBytes or
// more, or one too short for its fixed fields.
std::optional<IndexFile> decodeIndexFile(const std::uint8_t* bytes, std::size_t size);

// The former name in UTF-8: the recorded path after its last '\' (the whole path without one).
std::string formerName(const std::u16string& path);

}  // namespace vel::recycle
