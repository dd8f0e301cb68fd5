#pragma once
#include <optional>
#include <string>

namespace vel {

// A name from a disk made safe as one output path component: '/', NUL and control characters
// are replaced, invalid UTF-8 is repaired; "." and ".." (and the empty name) are refused.
std::optional<std::string> safeFileName(const std::string& utf8Name);

// dir/name, or dir/"name (1).ext", "name (2).ext", ... when that already exists.
std::string uniqueOutputPath(const std::string& dir, const std::string& name);

std::string joinPath(const std::string& dir, const std::string& name);

}  // namespace vel
