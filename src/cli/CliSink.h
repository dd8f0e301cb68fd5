#pragma once
#include <chrono>
#include <mutex>

#include "scan/ScanSink.h"

namespace vel {

// Progress and status on stderr, at a rate a terminal or a log can take.
class CliSink final : public ScanSink {
  public:
    explicit CliSink(bool quiet = false);
    ~CliSink() override;
    void setProgressRange(std::int64_t maximum) override;
    void setProgressPosition(std::int64_t position) override;
    void setStatusText(const std::string& text) override;
    // Prints the latest state if it was held back.
    void flush();

  private:
    void draw(bool force);
    std::mutex mutex_;
    bool quiet_;
    bool tty_;
    bool dirty_ = false;
    std::int64_t maximum_ = 0, position_ = 0;
    std::string status_;
    std::string printedStatus_;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace vel
