#include "search/SearchPattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <locale>
#include <regex>

#include "platform/Text.h"

namespace vel {

namespace {

// UTF-8 as code points; what is not UTF-8 becomes U+FFFD.
std::wstring widen(const std::string& utf8) {
    const std::string s = isValidUtf8(utf8) ? utf8 : sanitizeUtf8(utf8);
    std::wstring out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::uint32_t cp = len == 1   ? c
                           : len == 2 ? (c & 0x1F)
                           : len == 3 ? (c & 0x0F)
                                      : (c & 0x07);
        for (std::size_t k = 1; k < len && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(static_cast<wchar_t>(cp));
        i += len;
    }
    return out;
}

// Case folding beyond ASCII needs a locale that knows Unicode.
const std::locale& unicodeLocale() {
    static const std::locale locale = [] {
        for (const char* name : {"C.UTF-8", "en_US.UTF-8", ""}) {
            try {
                return std::locale(name);
            } catch (const std::runtime_error&) {
            }
        }
        return std::locale::classic();
    }();
    return locale;
}

struct Pcre2Code {
    pcre2_code* code = nullptr;
    pcre2_match_data* match = nullptr;
    ~Pcre2Code() {
        if (match) pcre2_match_data_free(match);
        if (code) pcre2_code_free(code);
    }
};

}  // namespace

// The grammar is the standard library's ECMAScript regex: it alone decides what is refused, and
// it matches whatever the faster engine cannot take. PCRE2, set to ECMAScript's rules where they
// differ from Perl's, does the matching: the standard engine takes microseconds a name.
struct SearchPattern::Engine {
    std::wregex grammar;
    Pcre2Code fast;
    bool useFast = false;

    bool standardMatch(const std::string& name) const {
        std::wstring w = widen(name);
        return std::regex_search(w, grammar);
    }
};

SearchPattern::SearchPattern(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
SearchPattern::~SearchPattern() = default;
SearchPattern::SearchPattern(SearchPattern&&) noexcept = default;
SearchPattern& SearchPattern::operator=(SearchPattern&&) noexcept = default;

std::optional<SearchPattern> SearchPattern::compile(const std::string& pattern, bool ignoreCase) {
    auto engine = std::make_unique<Engine>();
    try {
        engine->grammar.imbue(unicodeLocale());
        auto flags = std::regex_constants::ECMAScript;
        if (ignoreCase) flags |= std::regex_constants::icase;
        engine->grammar.assign(widen(pattern), flags);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }

    const std::string utf8 = isValidUtf8(pattern) ? pattern : sanitizeUtf8(pattern);
    std::uint32_t options = PCRE2_UTF | PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_BSUX |
                            PCRE2_ALLOW_EMPTY_CLASS | PCRE2_MATCH_UNSET_BACKREF;
    if (ignoreCase) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    engine->fast.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(utf8.data()), utf8.size(),
                                      options, &error, &offset, nullptr);
    if (engine->fast.code) {
        pcre2_jit_compile(engine->fast.code, PCRE2_JIT_COMPLETE);  // interpreted without it
        engine->fast.match = pcre2_match_data_create(1, nullptr);
        engine->useFast = engine->fast.match != nullptr;
    }
    return SearchPattern(std::move(engine));
}

bool SearchPattern::matches(const std::string& name) const {
    if (!engine_->useFast) return engine_->standardMatch(name);
    int rc = pcre2_match(engine_->fast.code, reinterpret_cast<PCRE2_SPTR>(name.data()), name.size(),
                         0, 0, engine_->fast.match, nullptr);
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    // A name that is not UTF-8, or a pattern past the fast engine's limits.
    return engine_->standardMatch(name);
}

}  // namespace vel
