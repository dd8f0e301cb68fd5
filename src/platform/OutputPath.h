#pragma once
// Names and folders of the output tree. Names come from disks and are hostile: they are made safe
// and short enough before they touch a path, and the tree is walked by folder handles from the
// chosen output folder down, never through a symbolic link.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/FileTimes.h"

namespace vel {

// The longest name Linux file systems take, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

// A name from a disk made safe as one output path component: '/', NUL and control characters
// are replaced, invalid UTF-8 is repaired, a name longer than 255 bytes is shortened at a
// character boundary keeping its extension; "." and ".." (and the empty name) are refused.
std::optional<std::string> safeFileName(const std::string& utf8Name);

// name with insert placed before its extension and tail after it ("a (1).txt",
// "a.txt.incomplete"), the part before the extension shortened so the whole fits in 255 bytes.
std::string decoratedName(const std::string& name, std::string_view insert, std::string_view tail);

// name without the characters FAT and exFAT refuse (<>:"\|?* and trailing dots and blanks).
std::string portableName(const std::string& name);

std::string joinPath(const std::string& dir, const std::string& name);

// dir/name, or dir/"name (1).ext", "name (2).ext", ... when that already exists (looked up on
// disk; OutputFolder keeps its names in memory instead).
std::string uniqueOutputPath(const std::string& dir, const std::string& name);

// One folder of the output tree, held open. It remembers every name it holds or has handed out,
// so unique names cost no lookups on disk. Files may be created and named in it from several
// threads.
class OutputFolder {
  public:
    // The chosen output folder, created when missing. The user named it: a link to it is
    // followed, but nothing below it is.
    static std::unique_ptr<OutputFolder> open(const std::string& path, std::string& error);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // The name it was made under in its parent ("" for the chosen folder).
    const std::string& name() const { return name_; }
    std::string pathOf(const std::string& name) const { return joinPath(path_, name); }

    // A name not used in this folder yet, made from name ("name (1).ext", ...); it counts as
    // used from then on.
    std::string reserve(const std::string& name);
    // A new folder below this one under a unique name made from name. An existing folder, a file
    // or a link of that name is never entered: the new folder gets the next free name.
    std::unique_ptr<OutputFolder> makeFolder(const std::string& name, std::string& error);

    // Creates an empty file under a temporary name; -1 (with errno) when it cannot.
    int createTemporary(std::string& tempName);
    // Creates an empty file under name (reserved before); -1 (with errno) when anything is there.
    int createNamed(const std::string& name);
    // Gives the temporary file a name made from wanted, never replacing anything: reserved
    // first when one is given (a name reserve() gave for it), else the next free one. The name
    // it got, or nullopt with errno set.
    std::optional<std::string> publish(const std::string& tempName, const std::string& wanted,
                                       const std::string& reserved = "");
    void remove(const std::string& name);

    // The folder's recorded times; missing ones stay as they are.
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification);
    // Bytes an unprivileged writer may still put here; -1 when it cannot be told.
    std::int64_t freeBytes() const;

  private:
    OutputFolder(int fd, std::string path, std::string name)
        : fd_(fd), path_(std::move(path)), name_(std::move(name)) {}
    void readExistingNames();

    int fd_;
    std::string path_, name_;
    std::mutex namesLock_;
    std::unordered_set<std::string> used_;
    std::unordered_map<std::string, int> nextNumber_;  // per wanted name
};

}  // namespace vel
