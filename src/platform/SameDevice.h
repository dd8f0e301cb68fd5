#pragma once
#include <string>

namespace vel {

// Whether files written into outputDir can land on source: source is a block device and the
// folder's file system lies on it (on the device itself, on one of its partitions, or on a
// device built from them: a mapper, a RAID, a loop file kept there). An image file as the source
// is never endangered by writing beside it. A folder that does not exist yet is judged by the
// nearest folder above it that does.
bool outputOnSourceDevice(const std::string& source, const std::string& outputDir);

}  // namespace vel
