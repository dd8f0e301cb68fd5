#pragma once
// Files deleted to the Windows recycle bin are kept there as "$R" + suffix, beside an index file
// "$I" + the same suffix that records the path they had. This gives them their names back.
#include <cstddef>

namespace vel {

class VolumeParser;

// For each recycle-bin folder on the first level of the parser's tree ("$RECYCLE.BIN" or
// "$RECYCLEBIN", any case) and each user folder in it: reads the user folder's index files
// through the parser into memory and names every "$R" file or folder of that user folder after
// the path its index records. Run by the scan worker after parsing. Returns how many entries got
// a name.
std::size_t restoreRecycleBinNames(VolumeParser& parser);

}  // namespace vel
