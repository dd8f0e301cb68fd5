#pragma once
// Names are kept as they are on disk and converted here, once, for display and output paths.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vel {

std::string utf16ToUtf8(const char16_t* units, std::size_t count);
inline std::string utf16ToUtf8(const std::u16string& s) {
    return utf16ToUtf8(s.data(), s.size());
}
// count little-endian UTF-16 code units starting at bytes.
std::u16string utf16leUnits(const std::uint8_t* bytes, std::size_t count);
// 8-bit names (FAT short names, ext names) in the configured code page, as UTF-8.
// The code page is the locale's; VELLORINE_CODEPAGE (an iconv name) overrides it.
std::string ansiToUtf8(const std::string& bytes);
// Replaces invalid sequences with U+FFFD.
std::string sanitizeUtf8(const std::string& bytes);
bool isValidUtf8(const std::string& bytes);

}  // namespace vel
