#pragma once
// A search pattern: a regular expression in the ECMAScript grammar, compiled once per search and
// tested against names in UTF-8. A match anywhere in the name is a hit.
#include <memory>
#include <optional>
#include <string>

namespace vel {

inline constexpr const char* kInvalidPatternText =
    "such characters are not allowed for search.Try again with different pattern.";

class SearchPattern {
  public:
    ~SearchPattern();
    SearchPattern(SearchPattern&&) noexcept;
    SearchPattern& operator=(SearchPattern&&) noexcept;

    // nullopt when the ECMAScript grammar refuses the pattern (a leading "*", an unbalanced
    // bracket, a trailing backslash ...). Case matters unless ignoreCase.
    static std::optional<SearchPattern> compile(const std::string& pattern,
                                                bool ignoreCase = false);
    // Whether the pattern occurs in the name. Safe to call from one thread at a time.
    bool matches(const std::string& utf8Name) const;

  private:
    struct Engine;
    explicit SearchPattern(std::unique_ptr<Engine> engine);
    std::unique_ptr<Engine> engine_;
};

}  // namespace vel
