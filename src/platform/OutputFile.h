#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "core/EntryWriter.h"
#include "platform/FileTimes.h"

namespace vel {

class OutputFolder;

// A recovered file being written. Zeros asked for as holes become holes (the file is sparse
// where the output file system allows). Every failure (a full disk, say) is remembered so a file
// that was not written whole is never reported as saved.
class OutputFile final : public EntryWriter {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // A new file in folder under a temporary name; it gets its name from commit().
    bool create(OutputFolder& folder);
    // A new file in folder under name itself, for a file whose bytes are all at hand and go in
    // at once: one rename fewer. Until commit() it is removed on any failure, as a temporary
    // file is. False (errno in error()) when name is taken or refused.
    bool createNamed(OutputFolder& folder, const std::string& name);
    // A file at path, created or truncated, written in place.
    bool open(const std::string& path);
    // Creates the file only when nothing is at path yet (false, errno EEXIST, when something is).
    bool openNew(const std::string& path);

    bool write(const void* data, std::size_t size) override;
    bool writeZeros(std::uint64_t size) override;
    // Kept for finish() and commit().
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        access_ = access;
        modification_ = modification;
    }

    // A created file: closes it and gives it a name made from name (never replacing anything).
    // A whole file gets name and the times given to setTimes; any other gets name +
    // ".incomplete" and keeps the time of saving. False (errno in error()) when that fails; the
    // temporary file is then removed. reserved, when given, is a name taken for it in the
    // folder beforehand (OutputFolder::reserve), tried first.
    bool commit(const std::string& name, bool whole, const std::string& reserved = "");
    // The name commit() asks for: name for a whole file, else name + ".incomplete".
    static std::string nameFor(const std::string& name, bool whole);
    // The name commit() gave the file, in its folder.
    const std::string& committedName() const { return committed_; }

    // An opened file: closes with the times given to setTimes; true when every write succeeded.
    bool finish() { return closeWithTimes(access_, modification_); }
    bool close();
    bool closeWithTimes(std::optional<HostTime> access, std::optional<HostTime> modification);
    // Closes and removes the file (under whichever name it has now).
    void discard();

    bool ok() const { return fd_ >= 0 && error_ == 0; }
    // errno of the first failure; 0 when there was none.
    int error() const { return error_; }
    // Bytes from the start, holes included.
    std::uint64_t size() const { return size_; }
    // Bytes given to write() (holes excluded).
    std::uint64_t bytesWritten() const { return written_; }
    const std::string& path() const { return path_; }

  private:
    bool fail(int err);
    // A fresh file in folder, before it is created.
    void startIn(OutputFolder& folder);
    // Closes, and removes a created file that was not committed.
    void reset();

    int fd_ = -1;
    int error_ = 0;
    OutputFolder* folder_ = nullptr;  // set for a created file
    std::string tempName_, committed_;
    std::string named_;  // the name createNamed() made the file under, until commit()
    std::string path_;
    std::optional<HostTime> access_, modification_;
    std::uint64_t size_ = 0, written_ = 0;
};

// Creates a folder; an existing folder is fine.
bool makeFolder(const std::string& path);

}  // namespace vel
