#pragma once
// Every message box of the system goes through here, captioned with the application title.
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vel {

inline constexpr const char* kApplicationTitle = "Vellorine";

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual void showInfo(const std::string& text) = 0;
    virtual bool askYesNo(const std::string& text) = 0;
};

// Prints boxes on stderr; questions get a fixed answer (the command line has no one to ask).
class StderrMessageBoxes final : public MessageBoxes {
  public:
    explicit StderrMessageBoxes(bool answer = true) : answer_(answer) {}
    void showInfo(const std::string& text) override;
    bool askYesNo(const std::string& text) override;

  private:
    bool answer_;
};

// For tests: keeps every box and answers questions from a queue (No when it is empty).
class RecordingMessageBoxes final : public MessageBoxes {
  public:
    void showInfo(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void queueAnswer(bool yes);
    std::vector<std::string> shown() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
    std::deque<bool> answers_;
};

}  // namespace vel
