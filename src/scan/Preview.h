#pragma once
// What the preview pane shows for a file: its first bytes read through the parser, and how to
// show them (a picture, text, or a hex listing). Built on a worker; the pane only draws it.
#include <cstdint>
#include <string>
#include <vector>

#include "scan/VolumeParser.h"

namespace vel {

enum class PreviewKind { Empty, Image, Text, Hex, Unreadable };

struct Preview {
    PreviewKind kind = PreviewKind::Empty;
    std::vector<std::uint8_t> bytes;  // the first bytes of the file (for a picture)
    std::string text;                 // UTF-8: the text, or the hex listing
    bool truncated = false;           // the file goes on past what was read
    bool whole = true;                // the parser read what it was asked for
};

// Enough for most photos, and quick to read from a slow disk.
inline constexpr std::size_t kPreviewBytes = 4u << 20;
// A hex listing longer than this says little more.
inline constexpr std::size_t kHexPreviewBytes = 64u << 10;

// Reads entry's first bytes and decides how to show them.
Preview makePreview(VolumeParser& parser, ItemData entry, std::size_t limit = kPreviewBytes);

// The decisions, over bytes already read.
PreviewKind previewKind(const std::vector<std::uint8_t>& bytes);
// Text as UTF-8: UTF-8 as it is, UTF-16 by its byte-order mark, anything else as Latin-1. cut:
// the bytes end where the read limit stopped, perhaps inside a character.
std::string previewText(const std::vector<std::uint8_t>& bytes, bool cut = false);
// "00000000  48 65 6c 6c 6f ...  |Hello...|" lines, 16 bytes each.
std::string hexListing(const std::vector<std::uint8_t>& bytes, std::size_t limit);

}  // namespace vel
