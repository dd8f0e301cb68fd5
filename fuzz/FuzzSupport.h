#pragma once
// What the fuzz targets share: real volumes with the input laid over their metadata, and a scan
// that lists and reads everything it finds, bounded so that slow or huge inputs are findings.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/readWriteInterface.h"
#include "scan/VolumeParser.h"

namespace vel::fuzz {

// A fixture image (tests/fixtures/images/NAME.img.xz), unpacked once per process.
const std::vector<std::uint8_t>& fixture(const std::string& name);
// Unpacks the fixtures at start-up, before the fuzzer times the first input: unpacking under
// ASan on a busy machine can take longer than the time an input is allowed.
bool unpackEarly(std::initializer_list<const char*> names);

// A base image with the input's bytes laid over chosen regions, in order: the first region takes
// the input's first bytes, the next what follows. Reads never copy the whole image.
class OverlaySource final : public readWriteInterface {
  public:
    struct Region {
        std::int64_t offset;
        std::size_t length;
    };
    OverlaySource(const std::vector<std::uint8_t>& base, std::vector<Region> regions,
                  const std::uint8_t* input, std::size_t size);
    ReadOutcome readAt(std::int64_t offset, void* buffer, std::size_t count) const override;
    std::int64_t byteSize() const override { return static_cast<std::int64_t>(base_.size()); }
    const BadSectorList& badSectors() const override { return bad_; }

  private:
    struct Patch {
        std::int64_t offset;
        const std::uint8_t* bytes;
        std::size_t length;
    };
    const std::vector<std::uint8_t>& base_;
    std::vector<Patch> patches_;
    BadSectorList bad_;
};

// Scans the volume in the given mode, walks every entry it lists (parents before children) and
// reads every file through writeEntry into a bounded sink. Returns the entries seen.
std::size_t scanListAndRead(VolumeParser& parser, const readWriteInterface& source, int mode);

}  // namespace vel::fuzz
