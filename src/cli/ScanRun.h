#pragma once
// The scan screen's steps without the screen: open, pick the parser, run its worker.
#include <memory>

#include "cli/CliCommon.h"
#include "cli/CliSink.h"
#include "scan/MemoryTree.h"
#include "scan/VolumeParser.h"

namespace vel::cli {

struct ScanRun {
    std::shared_ptr<DiskSource> source;
    VolumeDescriptor volume;
    std::unique_ptr<MemoryTree> tree;
    std::unique_ptr<CliSink> sink;
    std::unique_ptr<VolumeParser> parser;
    TreeItem top = kNoItem;
};

// Throws CliExit: kUsage for a bad SOURCE or volume, kFailed when the scan cannot run.
ScanRun runScan(const SourceOptions& source, const ModeOptions& mode);

// Wall time and peak memory on stderr, for benchmarks.
void printStats(const char* what, double seconds, std::size_t items);

}  // namespace vel::cli
