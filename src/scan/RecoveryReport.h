#pragma once
// The recovery report every save leaves beside what it wrote: the source, the volume and, per
// file, where it came from and where it went, its byte runs, the SHA-256 of what was written and
// whether it came back whole. It is Digital Forensics XML (the format fiwalk and PhotoRec write),
// with the save's own facts in a namespace of their own. Files are written out as they are done,
// so the report of a save with millions of files needs no more memory than one file's.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/OutputPath.h"
#include "scan/FolderSaver.h"

namespace pugi {
class xml_document;
}

namespace vel {

struct ReportSource {
    std::string path;
    std::int64_t size = 0;
    std::string sha256;  // "" when it was not computed
};

struct ReportVolume {
    std::string fileSystem;
    std::int64_t startSector = 0;
    std::int64_t sizeBytes = 0;  // 0 when unknown
};

class RecoveryReport {
  public:
    static constexpr const char* kDefaultName = "recovery-report.xml";
    static constexpr const char* kNamespace = "urn:x-vellorine:recovery-report";

    // Into outputDir under a name of its own: kDefaultName, numbered when that is taken.
    static std::unique_ptr<RecoveryReport> intoFolder(const std::string& outputDir);
    // At path exactly, replacing what is there (the user named it).
    static std::unique_ptr<RecoveryReport> atPath(const std::string& path);
    ~RecoveryReport();
    RecoveryReport(const RecoveryReport&) = delete;
    RecoveryReport& operator=(const RecoveryReport&) = delete;

    // Starts the report (under a temporary name until finish). commandLine: how the save was
    // asked for.
    bool begin(const ReportSource& source, const ReportVolume& volume,
               const std::string& commandLine, std::string& error);
    void add(const SaveRecord& file);
    // Ends the report with the totals and gives it its name.
    bool finish(const SaveReport& totals, std::string& error);
    // Where the report is (after finish).
    const std::string& path() const { return path_; }

  private:
    RecoveryReport(std::string folder, std::string name, bool replace);

    std::string folderPath_, name_;
    bool replace_;
    std::unique_ptr<OutputFolder> folder_;
    std::string tempName_;
    std::FILE* out_ = nullptr;
    std::string path_;
    std::int64_t imageBase_ = 0;  // the volume's first byte in the source
    bool failed_ = false;
    // One file's element, its memory kept from file to file.
    std::unique_ptr<pugi::xml_document> scratch_;
};

// "2021-01-01T00:00:00Z", with a fraction when the time has one.
std::string isoTime(const HostTime& t);

}  // namespace vel
