#include "platform/OutputPath.h"

#include <sys/stat.h>

#include "platform/Text.h"

namespace vel {

std::optional<std::string> safeFileName(const std::string& utf8Name) {
    std::string name = sanitizeUtf8(utf8Name);
    for (char& c : name) {
        auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return name;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string uniqueOutputPath(const std::string& dir, const std::string& name) {
    struct stat st {};
    std::string path = joinPath(dir, name);
    if (::lstat(path.c_str(), &st) != 0) return path;
    std::string stem = name, ext;
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        stem = name.substr(0, dot);
        ext = name.substr(dot);
    }
    for (int n = 1;; ++n) {
        path = joinPath(dir, stem + " (" + std::to_string(n) + ")" + ext);
        if (::lstat(path.c_str(), &st) != 0) return path;
    }
}

}  // namespace vel
