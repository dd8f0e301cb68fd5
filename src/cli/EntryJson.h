#pragma once
// One tree item or search hit as the list shows it, for --json output.
#include <cstdint>
#include <string>
#include <string_view>

#include "scan/VolumeParser.h"

namespace vel::cli {

// One JSON object on one line, written by hand: a listing of a million entries otherwise spends
// most of its time building and freeing a general JSON value per line. Texts that are not UTF-8
// are repaired (each bad sequence becomes U+FFFD), never refused.
class JsonLine {
  public:
    JsonLine() { text_.reserve(320); }  // an entry's line, in one allocation
    // Keys are plain ASCII names from the code, written as they are; texts are escaped.
    JsonLine& add(std::string_view key, std::string_view text);
    JsonLine& add(std::string_view key, const char* text) {
        return add(key, std::string_view(text));
    }
    JsonLine& add(std::string_view key, bool value);
    JsonLine& add(std::string_view key, std::uint64_t value);
    JsonLine& add(std::string_view key, std::int64_t value);
    // The object closed, with its newline.
    const std::string& text();
    void put();  // on stdout

  private:
    void key(std::string_view name);
    std::string text_ = "{";
    bool closed_ = false;
};

// Appends text as a quoted JSON string.
void appendJsonString(std::string& out, std::string_view text);

// path, type ("dir" or "file"), deleted, size, size_text, created, accessed, modified,
// attributes, and recovery where the parser has a note (keys in alphabetical order); the texts are
// empty for an item that is no entry (the top item).
void putEntryJson(const VolumeParser& parser, ItemData entry, const std::string& path, bool folder,
                  bool deleted);

// The line that ends a listing: {"items":N,"type":"summary","unreadable_sectors":K}.
void putSummaryJson(std::uint64_t items, std::int64_t unreadableSectors);

}  // namespace vel::cli
