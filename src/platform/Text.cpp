#include "platform/Text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vel {

namespace {
void appendCodePoint(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the valid UTF-8 sequence at s[i], 0 when invalid.
std::size_t utf8SequenceLength(const std::string& s, std::size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 0;
    if (len == 0 || i + len > s.size()) return 0;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}
}  // namespace

std::string utf16ToUtf8(const char16_t* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;  // unpaired surrogate
        }
        appendCodePoint(out, u);
    }
    return out;
}

std::u16string utf16leUnits(const std::uint8_t* bytes, std::size_t count) {
    std::u16string out(count, u'\0');
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

bool isValidUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = utf8SequenceLength(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string sanitizeUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = utf8SequenceLength(bytes, i);
        if (len == 0) {
            appendCodePoint(out, 0xFFFD);
            ++i;
        } else {
            out.append(bytes, i, len);
            i += len;
        }
    }
    return out;
}

std::string ansiToUtf8(const std::string& bytes) {
    bool ascii = true;
    for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return bytes;

    static std::once_flag once;
    static std::string codePage;
    std::call_once(once, [] {
        const char* env = std::getenv("VELLORINE_CODEPAGE");
        if (env && *env) {
            codePage = env;
        } else {
            const char* set = nl_langinfo(CODESET);
            codePage = set ? set : "";
            // The C locale says ASCII; Windows-1252 is the likelier origin of 8-bit names.
            if (codePage.empty() || codePage == "ANSI_X3.4-1968") codePage = "CP1252";
        }
    });
    std::string from = codePage;
    if (codePage == "UTF-8" || codePage == "utf8") {
        if (isValidUtf8(bytes)) return bytes;
        // 8-bit names on disk are rarely UTF-8; Windows-1252 beats a row of U+FFFD.
        from = "CP1252";
    }

    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return sanitizeUtf8(bytes);
    std::string out;
    std::string in = bytes;
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char buf[256];
    while (inLeft > 0) {
        char* outPtr = buf;
        std::size_t outLeft = sizeof buf;
        std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf, static_cast<std::size_t>(outPtr - buf));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            appendCodePoint(out, 0xFFFD);  // a byte the code page does not define
            ++inPtr;
            --inLeft;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace vel
