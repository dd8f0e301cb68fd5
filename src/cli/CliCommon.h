#pragma once
// What the subcommands share: SOURCE and VOLUME options and how a volume is found.
#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "cli/Interrupt.h"
#include "core/VolumeDescriptor.h"
#include "device/DiskSource.h"
#include "device/FileReadSeek.h"
#include "scan/WorkerControl.h"

namespace vel::cli {

// 3: stopped by Ctrl-C or SIGTERM before the work was done.
enum Exit { kDone = 0, kFailed = 1, kUsage = 2, kStopped = 3 };

// Ends a subcommand with an exit code and a message for stderr.
struct CliExit : std::runtime_error {
    CliExit(int code, const std::string& message) : std::runtime_error(message), code(code) {}
    int code;
};

struct SourceOptions {
    std::string source;
    std::optional<std::int64_t> volumeIndex;
    bool gpt = false;
    std::optional<std::int64_t> startSector;
    std::optional<std::int64_t> sizeMb;
    std::string fileSystem;
    bool json = false;
};

struct ModeOptions {
    std::string mode = "standard";
    int maxFileSystems = 3;
    std::optional<int> candidate;
    std::optional<int> sectorsPerCluster;
    std::optional<int> heap;
    bool formatted = false;
    int scanMode() const;  // 1, 2 or 3
};

void addSourceOptions(CLI::App& cmd, SourceOptions& options);
void addModeOptions(CLI::App& cmd, ModeOptions& options);

// Opens SOURCE read-only, whatever image format it is; CliExit(kUsage) when it cannot be read.
// Damage found while opening (a missing segment) and unreadable sectors as reads meet them are
// told on stderr.
std::shared_ptr<DiskSource> openSource(const std::string& source);

// "N unreadable sectors" on stderr when reads met any.
void reportUnreadable(const readWriteInterface& source);

// The volume the options name on the open SOURCE. A custom volume must lie inside SOURCE.
// Without volume options SOURCE is taken as one volume when its first sectors, or a backup copy
// of its boot sector, show a file system starting at sector 0; otherwise the volumes found are
// listed (the partition tables', or when there are none the Advance Scan's) and
// CliExit(kUsage) follows.
VolumeDescriptor resolveVolume(const SourceOptions& options, const readWriteInterface& source);

// Ctrl-C sets the flag while this lives, the way the Stop button does.
using InterruptStops = InterruptGuard;

}  // namespace vel::cli
