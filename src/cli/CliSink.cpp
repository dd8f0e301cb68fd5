#include "cli/CliSink.h"

#include <unistd.h>

#include <cstdio>

namespace vel {

CliSink::CliSink(bool quiet) : quiet_(quiet), tty_(::isatty(2) != 0) {}

CliSink::~CliSink() {
    flush();
}

void CliSink::setProgressRange(std::int64_t maximum) {
    std::lock_guard lock(mutex_);
    maximum_ = maximum;
    draw(false);
}

void CliSink::setProgressPosition(std::int64_t position) {
    std::lock_guard lock(mutex_);
    position_ = position;
    draw(false);
}

void CliSink::setStatusText(const std::string& text) {
    std::lock_guard lock(mutex_);
    status_ = text;
    draw(false);
}

void CliSink::flush() {
    std::lock_guard lock(mutex_);
    if (dirty_) draw(true);
    if (tty_ && !quiet_ && !printedStatus_.empty()) std::fputc('\n', stderr);
    printedStatus_.clear();
}

void CliSink::draw(bool force) {
    if (quiet_) return;
    dirty_ = true;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(tty_ ? 100 : 1000)) return;
    last_ = now;
    dirty_ = false;
    int percent = maximum_ > 0 ? static_cast<int>(position_ * 100 / maximum_) : 0;
    if (percent > 100) percent = 100;
    if (tty_) {
        std::string line = status_.substr(0, 100);
        std::fprintf(stderr, "\r\033[K[%3d%%] %s", percent, line.c_str());
        printedStatus_ = status_.empty() ? " " : status_;
    } else if (status_ != printedStatus_) {
        std::fprintf(stderr, "[%3d%%] %s\n", percent, status_.c_str());
        printedStatus_ = status_;
    }
    std::fflush(stderr);
}

}  // namespace vel
