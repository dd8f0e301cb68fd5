#include "core/VolumeDescriptor.h"

#include <cctype>
#include <limits>

namespace vel {

std::int64_t leadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int digit = text[i] - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
            return negative ? std::numeric_limits<std::int64_t>::min()
                            : std::numeric_limits<std::int64_t>::max();
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool startsWithIgnoreCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string trimLeft(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return text.substr(i);
}

std::string trimRight(const std::string& text) {
    std::size_t n = text.size();
    while (n > 0 && std::isspace(static_cast<unsigned char>(text[n - 1]))) --n;
    return text.substr(0, n);
}

std::string trim(const std::string& text) {
    return trimRight(trimLeft(text));
}

}  // namespace vel
