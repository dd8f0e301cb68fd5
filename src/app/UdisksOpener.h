#pragma once
// Opens a drive for a user who may not open it: UDisks2 opens it read-only on the user's behalf,
// once polkit has asked for the password in its own window, and hands back the descriptor. The
// bus and the service's name are given, so that a private bus can stand in for the system's.
#include <QDBusConnection>
#include <QString>
#include <map>
#include <memory>
#include <string>

#include "device/FileReadSeek.h"

namespace vel {

class UdisksOpener {
  public:
    static constexpr const char* kService = "org.freedesktop.UDisks2";

    explicit UdisksOpener(QDBusConnection bus, QString service = QString::fromLatin1(kService));
    ~UdisksOpener();
    UdisksOpener(const UdisksOpener&) = delete;
    UdisksOpener& operator=(const UdisksOpener&) = delete;

    enum class Outcome {
        Opened,
        Absent,   // no bus, or the service is neither running nor startable
        Refused,  // not authorised, or the password prompt was cancelled
        Unknown,  // the service has no block device of that path
        Failed,   // any other error
    };
    struct Result {
        Outcome outcome = Outcome::Failed;
        std::shared_ptr<FileReadSeek> source;  // when Opened
        std::string reason;                    // otherwise: one sentence naming the device
    };

    // Blocks until the service answers; the prompt, if any, is polkit's own window. A device
    // granted before is handed out again without asking while its node still names it.
    Result open(const std::string& devicePath);

    // How long the user may take over the password prompt.
    void setReplyTimeout(int milliseconds) { timeoutMs_ = milliseconds; }

  private:
    std::shared_ptr<FileReadSeek> reuseGranted(const std::string& device);

    QDBusConnection bus_;
    QString service_;
    int timeoutMs_ = 5 * 60 * 1000;
    std::map<std::string, int> granted_;  // device path → a copy of the descriptor handed over
};

}  // namespace vel
