// The structure checks of the default carving types. The engine hands a check the candidate's
// first bytes in memory and fetches the rest from the source, so the same bytes split anywhere
// must give the same verdict, and a found size never reaches past the window.
#include <cstring>
#include <iterator>
#include <span>

#include "raw/CarveFormats.h"

using namespace vel;

namespace {

constexpr FormatKind kKinds[] = {
    FormatKind::Jpeg, FormatKind::Png,      FormatKind::Gif,    FormatKind::Bmp,  FormatKind::Tiff,
    FormatKind::Pdf,  FormatKind::Zip,      FormatKind::Mp3,    FormatKind::Riff, FormatKind::Mp4,
    FormatKind::Gzip, FormatKind::SevenZip, FormatKind::Sqlite,
};

class SplitWindow final : public ByteWindow {
  public:
    SplitWindow(std::span<const std::uint8_t> all, std::size_t inMemory)
        : ByteWindow(all.first(inMemory), all.size()), all_(all) {}

  protected:
    bool fetch(std::uint64_t offset, std::uint8_t* out, std::size_t count) const override {
        if (offset > all_.size() || count > all_.size() - offset) return false;
        std::memcpy(out, all_.data() + offset, count);
        return true;
    }

  private:
    std::span<const std::uint8_t> all_;
};

bool sameVerdict(const CarveVerdict& a, const CarveVerdict& b) {
    return a.status == b.status && a.size == b.size && a.extension == b.extension;
}

bool inside(const CarveVerdict& v, const ByteWindow& w) {
    return v.status == CarveStatus::Reject || (v.size > 0 && v.size <= w.size());
}

}  // namespace

// Input: the type (first byte), where memory ends (second byte, in 256ths), the candidate.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const FormatKind kind = kKinds[data[0] % std::size(kKinds)];
    const std::span<const std::uint8_t> bytes(data + 2, size - 2);
    const std::size_t inMemory = bytes.size() * data[1] / 256;

    const ByteWindow whole(bytes, bytes.size());
    const CarveVerdict v = checkFormat(kind, whole);
    if (!inside(v, whole)) __builtin_trap();

    const SplitWindow split(bytes, inMemory);
    if (!sameVerdict(v, checkFormat(kind, split))) __builtin_trap();

    // A window cut short (the type's largest size, the volume's end) keeps its verdict inside.
    const ByteWindow shorter(bytes, inMemory);
    if (!inside(checkFormat(kind, shorter), shorter)) __builtin_trap();
    return 0;
}
