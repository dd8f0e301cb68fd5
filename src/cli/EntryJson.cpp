#include "cli/EntryJson.h"

#include <cstdio>

namespace vel::cli {

namespace {
bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// How many bytes of s form a well-formed UTF-8 sequence at its start (0: none), and, when none,
// how many bytes one U+FFFD stands for: the longest start that could still have become one.
struct Utf8Scan {
    std::size_t valid = 0;
    std::size_t bad = 0;
};

Utf8Scan scanUtf8(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return {0, 1};
    }
    if (s.size() < 2 || b(1) < low || b(1) > high) return {0, 1};
    std::size_t i = 2;
    while (i < n && i < s.size() && continuation(b(i))) ++i;
    return i == n ? Utf8Scan{n, 0} : Utf8Scan{0, i};
}
}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        // Most names are plain: copy each run of bytes that need nothing in one go.
        std::size_t plain = i;
        while (plain < text.size()) {
            const auto p = static_cast<unsigned char>(text[plain]);
            if (p < 0x20 || p >= 0x80 || p == '"' || p == '\\') break;
            ++plain;
        }
        out.append(text.data() + i, plain - i);
        i = plain;
        if (i == text.size()) break;
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const Utf8Scan scan = scanUtf8(text.substr(i));
            if (scan.valid != 0) {
                out.append(text.data() + i, scan.valid);
                i += scan.valid;
            } else {
                out += "\xEF\xBF\xBD";
                i += scan.bad;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

void JsonLine::key(std::string_view name) {
    if (text_.size() > 1) text_ += ',';
    text_ += '"';
    text_ += name;
    text_ += "\":";
}

JsonLine& JsonLine::add(std::string_view name, std::string_view text) {
    key(name);
    appendJsonString(text_, text);
    return *this;
}

JsonLine& JsonLine::add(std::string_view name, bool value) {
    key(name);
    text_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::add(std::string_view name, std::uint64_t value) {
    key(name);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::add(std::string_view name, std::int64_t value) {
    key(name);
    text_ += std::to_string(value);
    return *this;
}

const std::string& JsonLine::text() {
    if (!closed_) {
        text_ += "}\n";
        closed_ = true;
    }
    return text_;
}

void JsonLine::put() {
    const std::string& line = text();
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void putEntryJson(const VolumeParser& parser, ItemData entry, const std::string& path, bool folder,
                  bool deleted) {
    const bool isEntry = parser.isEntry(entry);
    const EntryColumns cols = isEntry ? parser.entryColumns(entry) : EntryColumns{};
    const std::uint64_t size = isEntry && !folder ? parser.entrySize(entry) : 0;
    const std::string sizeText = isEntry && !folder ? parser.entrySizeText(entry) : "";
    JsonLine line;
    line.add("accessed", cols.accessed)
        .add("attributes", cols.attributes)
        .add("created", cols.created)
        .add("deleted", deleted)
        .add("modified", cols.modified)
        .add("path", path);
    // Only where the data is found by assumption rather than by the file system's record.
    if (const std::string note = isEntry ? parser.recoveryNote(entry) : ""; !note.empty())
        line.add("recovery", note);
    line.add("size", size).add("size_text", sizeText);
    if (!cols.source.empty()) line.add("source", cols.source);
    line.add("type", folder ? "dir" : "file").put();
}

void putSummaryJson(std::uint64_t items, std::int64_t unreadableSectors) {
    JsonLine()
        .add("items", items)
        .add("type", "summary")
        .add("unreadable_sectors", unreadableSectors)
        .put();
}

}  // namespace vel::cli
