#pragma once
// A raw image cut into numbered pieces (image.000, image.001 ... or image.aa, image.ab ...),
// read as their concatenation. A piece missing from the middle reads as unreadable sectors.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/DiskSource.h"

namespace vel {

// How the pieces of a set are named: stem + "." + suffix, the suffix digits of one width
// (2 to 4) or two lowercase letters.
struct SplitName {
    std::string stem;  // the path up to the last dot
    bool numeric = true;
    int width = 3;
    int index = 0;  // of the piece the name denotes: the number, or aa = 0, ab = 1 ...
};

// The piece naming of path; nullopt when its suffix is not a piece number.
std::optional<SplitName> parseSplitName(const std::string& path);
// The path of piece index of the set; "" past the last the naming can express.
std::string splitPieceName(const SplitName& set, int index);

class SplitRawSource final : public DiskSource {
  public:
    ~SplitRawSource() override;
    // The set path belongs to, when it has a first piece and another present piece; nullptr
    // (error empty) when path is no such set, nullptr with error set when a piece cannot be
    // opened.
    static std::shared_ptr<SplitRawSource> open(const std::string& path, std::string& error);

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override;

  private:
    struct Piece {
        std::string path;
        int fd = -1;  // -1: missing
        std::int64_t start = 0;
        std::int64_t size = 0;
    };
    SplitRawSource() = default;
    std::vector<Piece> pieces_;
};

}  // namespace vel
