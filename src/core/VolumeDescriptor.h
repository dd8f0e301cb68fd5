#pragma once
#include <cstdint>
#include <string>

namespace vel {

// One volume as it travels from the screen that found it into a parser, which keeps a copy.
struct VolumeDescriptor {
    std::string fileSystem;  // compared without regard to case
    std::string rootPath;    // mount point of a mounted volume; empty otherwise
    std::string devicePath;  // device node of a mounted volume; list index for a partition row
    std::string sizeText;    // leading decimal digits: size in MiB
    std::int64_t startSector = 0;
};

// The leading decimal number of a text (optional sign); 0 when there is none.
std::int64_t leadingNumber(const std::string& text);
// Size in MiB given by the size text's leading digits (0 when there are none).
inline std::int64_t sizeTextMiB(const std::string& sizeText) {
    return leadingNumber(sizeText);
}

// Case-insensitive comparisons used by every consumer of file-system names.
bool equalsIgnoreCase(const std::string& a, const std::string& b);
bool startsWithIgnoreCase(const std::string& text, const std::string& prefix);
std::string trimLeft(const std::string& text);
std::string trimRight(const std::string& text);
std::string trim(const std::string& text);

}  // namespace vel
