#pragma once
#include <cstdint>
#include <string>

namespace vel {

// How a worker reports to its screen. Each call returns after the screen applied it.
class ScanSink {
  public:
    virtual ~ScanSink() = default;
    virtual void setProgressRange(std::int64_t maximum) = 0;
    virtual void setProgressPosition(std::int64_t position) = 0;
    virtual void setStatusText(const std::string& text) = 0;
};

class NullSink final : public ScanSink {
  public:
    void setProgressRange(std::int64_t) override {}
    void setProgressPosition(std::int64_t) override {}
    void setStatusText(const std::string&) override {}
};

}  // namespace vel
