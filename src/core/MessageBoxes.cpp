#include "core/MessageBoxes.h"

#include <cstdio>

namespace vel {

void StderrMessageBoxes::showInfo(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kApplicationTitle, text.c_str());
}

bool StderrMessageBoxes::askYesNo(const std::string& text) {
    std::fprintf(stderr, "%s: %s [%s]\n", kApplicationTitle, text.c_str(), answer_ ? "Yes" : "No");
    return answer_;
}

void RecordingMessageBoxes::showInfo(const std::string& text) {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
}

bool RecordingMessageBoxes::askYesNo(const std::string& text) {
    std::lock_guard lock(mutex_);
    shown_.push_back(text);
    if (answers_.empty()) return false;
    bool answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void RecordingMessageBoxes::queueAnswer(bool yes) {
    std::lock_guard lock(mutex_);
    answers_.push_back(yes);
}

std::vector<std::string> RecordingMessageBoxes::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void RecordingMessageBoxes::clear() {
    std::lock_guard lock(mutex_);
    shown_.clear();
    answers_.clear();
}

}  // namespace vel
