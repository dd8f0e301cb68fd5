#include <algorithm>

#include "fs/common/Endian.h"
#include "fs/fat/FatEntry.h"
#include "platform/Text.h"

namespace vel {

namespace {
bool isDotName(const std::uint8_t* s) {
    if (s[0] != '.') return false;
    std::size_t i = s[1] == '.' ? 2 : 1;
    for (; i < 11; ++i)
        if (s[i] != ' ') return false;
    return true;
}
}  // namespace

FatSlot classifySlot(const std::uint8_t* slot) {
    if (slot[0] == 0x00) return FatSlot::End;
    std::uint8_t attr = slot[11];
    if ((attr & 0x3F) == kAttrLongName) return FatSlot::LongName;
    if ((attr & kAttrDirectory) && isDotName(slot)) return FatSlot::Dot;
    if ((attr & kAttrVolumeLabel) && !(attr & kAttrDirectory)) return FatSlot::VolumeLabel;
    return (attr & kAttrDirectory) ? FatSlot::Folder : FatSlot::File;
}

FatEntry entryFields(const std::uint8_t* s) {
    FatEntry e;
    e.attributes = s[11];
    e.creationTenths = s[13];
    e.creationTime = le16(s + 14);
    e.creationDate = le16(s + 16);
    e.accessDate = le16(s + 18);
    e.firstClusterHigh = le16(s + 20);
    e.writeTime = le16(s + 22);
    e.writeDate = le16(s + 24);
    e.firstClusterLow = le16(s + 26);
    e.size = le32(s + 28);
    e.deleted = s[0] == kDeletedMark;
    return e;
}

std::string format83Name(const std::string& eleven) {
    std::string t = eleven;
    if (t.size() > 3) t.insert(t.size() - 3, ".");
    for (;;) {
        std::size_t dot = t.rfind('.');
        if (dot == std::string::npos || dot == 0 || t[dot - 1] != ' ') break;
        t.erase(dot - 1, 1);
    }
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
    while (!t.empty() && t.back() == '.') t.pop_back();
    return t;
}

std::string shortEntryName(const std::uint8_t* slot) {
    std::string raw(reinterpret_cast<const char*>(slot), 11);
    bool deleted = slot[0] == kDeletedMark;
    // 0x05 stands for a first byte 0xE5 in a live entry.
    if (!deleted && slot[0] == 0x05) raw[0] = static_cast<char>(0xE5);
    auto lower = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (raw[i] >= 'A' && raw[i] <= 'Z') raw[i] = static_cast<char>(raw[i] - 'A' + 'a');
    };
    if (slot[12] & 0x08) lower(deleted ? 1 : 0, 8);
    if (slot[12] & 0x10) lower(8, 11);
    std::string shown = format83Name(raw);
    if (!deleted) return ansiToUtf8(shown);
    // The deleted mark took the first character; it shows as U+FFE5.
    return "\xEF\xBF\xA5" + ansiToUtf8(shown.substr(std::min<std::size_t>(1, shown.size())));
}

std::uint8_t shortNameChecksum(const std::uint8_t* slot) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + slot[i]);
    return sum;
}

void LongNameBuilder::reset() {
    fragments_.clear();
    deleted_ = false;
    checksumsAgree_ = true;
    checksum_ = 0;
}

void LongNameBuilder::addFragment(const std::uint8_t* s) {
    bool deleted = s[0] == kDeletedMark;
    // A live fragment marked last-of-name (0x40) starts a new name; so does a change of state.
    if (pending() && (deleted != deleted_ || (!deleted && (s[0] & 0x40)))) reset();
    if (!pending()) {
        deleted_ = deleted;
        checksum_ = s[13];
    } else if (s[13] != checksum_) {
        checksumsAgree_ = false;
    }
    std::u16string units =
        utf16leUnits(s + 1, 5) + utf16leUnits(s + 14, 6) + utf16leUnits(s + 28, 2);
    auto nul = units.find(u'\0');
    if (nul != std::u16string::npos) units.resize(nul);
    fragments_.push_back(std::move(units));
    // Keep the fragments nearest the short entry: they hold the start of the name.
    if (fragments_.size() > kMaxLongNameFragments) fragments_.erase(fragments_.begin());
}

std::u16string LongNameBuilder::joined() const {
    std::u16string name;
    for (auto it = fragments_.rbegin(); it != fragments_.rend(); ++it) name += *it;
    return name;
}

std::optional<std::string> LongNameBuilder::takeFor(const std::uint8_t* shortSlot) {
    std::optional<std::string> result;
    bool deleted = shortSlot[0] == kDeletedMark;
    if (pending() && deleted == deleted_ &&
        (deleted || (checksumsAgree_ && checksum_ == shortNameChecksum(shortSlot)))) {
        std::u16string name = joined();
        if (!name.empty()) result = utf16ToUtf8(name);
    }
    reset();
    return result;
}

CalendarTime dosCalendar(std::uint16_t date, std::uint16_t time) {
    CalendarTime t;
    t.year = 1980 + (date >> 9);
    t.month = (date >> 5) & 0x0F;
    t.day = date & 0x1F;
    t.hour = time >> 11;
    t.minute = (time >> 5) & 0x3F;
    t.second = (time & 0x1F) * 2;
    return t;
}

std::optional<HostTime> dosHostTime(std::uint16_t date, std::uint16_t time) {
    CalendarTime t = dosCalendar(date, time);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    return fromCalendarAsUtc(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

EntryColumns fatEntryColumns(const FatEntry& e) {
    EntryColumns c;
    c.created = dateText(dosCalendar(e.creationDate, e.creationTime));
    c.accessed = dateOnlyText(dosCalendar(e.accessDate, 0));
    c.modified = dateText(dosCalendar(e.writeDate, e.writeTime));
    if (e.attributes & kAttrReadOnly) c.attributes += "-R";
    if (e.attributes & kAttrHidden) c.attributes += "-H";
    if (e.attributes & kAttrSystem) c.attributes += "-S";
    if (e.attributes & kAttrArchive) c.attributes += "-A";
    return c;
}

}  // namespace vel
