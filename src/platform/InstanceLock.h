#pragma once
#include <string>

namespace vel {

// The name the single-instance lock is made from.
inline constexpr const char* kInstanceMutexName = "Global\\{TAVRELWORKSWindowsDatRecovery}";

// Stands in for the named global mutex: an advisory lock file under $XDG_RUNTIME_DIR or /tmp.
class InstanceLock {
  public:
    explicit InstanceLock(const std::string& name);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another process holds the lock ("already exists").
    bool acquired() const { return acquired_; }
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    bool acquired_ = false;
    std::string path_;
};

// Where the lock file for a mutex name lives.
std::string instanceLockPath(const std::string& name);

}  // namespace vel
