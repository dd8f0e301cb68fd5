#include "app/UdisksOpener.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QVariantMap>
#include <cstdlib>

namespace vel {

namespace {

const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");

bool serviceMissing(const QDBusError& error) {
    switch (error.type()) {
        case QDBusError::ServiceUnknown:
        case QDBusError::NoServer:
        case QDBusError::Disconnected:
        case QDBusError::NoNetwork:
            return true;
        default:
            // Activation that could not start the service.
            return error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
    }
}

bool refusal(const QDBusError& error) {
    // NotAuthorized, NotAuthorizedCanObtain, NotAuthorizedDismissed
    return error.name().startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
           error.name() == QLatin1String("org.freedesktop.UDisks2.Error.Cancelled") ||
           error.type() == QDBusError::AccessDenied;
}

UdisksOpener::Result failure(const QDBusError& error, const std::string& device) {
    UdisksOpener::Result r;
    const std::string said = error.message().toStdString();
    if (serviceMissing(error)) {
        r.outcome = UdisksOpener::Outcome::Absent;
        r.reason = "UDisks2 is not there to open " + device + " for you.";
    } else if (refusal(error)) {
        r.outcome = UdisksOpener::Outcome::Refused;
        r.reason = "UDisks2 did not open " + device + ": " + said;
    } else {
        r.outcome = UdisksOpener::Outcome::Failed;
        r.reason = "UDisks2 could not open " + device + ": " + said;
    }
    return r;
}

// Whether fd is still the file the path names (a replugged disk may take over the node).
bool sameFile(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    if (S_ISBLK(held.st_mode)) return S_ISBLK(named.st_mode) && held.st_rdev == named.st_rdev;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::string canonical(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string result = real;
    std::free(real);
    return result;
}

}  // namespace

UdisksOpener::UdisksOpener(QDBusConnection bus, QString service)
    : bus_(std::move(bus)), service_(std::move(service)) {}

UdisksOpener::~UdisksOpener() {
    for (const auto& [device, fd] : granted_) ::close(fd);
}

std::shared_ptr<FileReadSeek> UdisksOpener::reuseGranted(const std::string& device) {
    auto it = granted_.find(device);
    if (it == granted_.end()) return nullptr;
    if (sameFile(it->second, device)) {
        auto source = std::make_shared<FileReadSeek>();
        if (source->adoptDescriptor(::fcntl(it->second, F_DUPFD_CLOEXEC, 0), device)) return source;
    }
    ::close(it->second);
    granted_.erase(it);
    return nullptr;
}

UdisksOpener::Result UdisksOpener::open(const std::string& devicePath) {
    const std::string device = canonical(devicePath);
    Result r;
    if ((r.source = reuseGranted(device))) {
        r.outcome = Outcome::Opened;
        return r;
    }
    if (!bus_.isConnected()) {
        r.outcome = Outcome::Absent;
        r.reason = "UDisks2 is not there to open " + device + " for you (no system bus).";
        return r;
    }

    QDBusMessage resolve =
        QDBusMessage::createMethodCall(service_, kManagerPath, kManagerInterface, "ResolveDevice");
    resolve << QVariantMap{{"path", QString::fromStdString(device)}} << QVariantMap{};
    const QDBusMessage found = bus_.call(resolve, QDBus::Block);
    if (found.type() != QDBusMessage::ReplyMessage) return failure(QDBusError(found), device);
    const auto objects = qdbus_cast<QList<QDBusObjectPath>>(found.arguments().value(0));
    if (objects.isEmpty()) {
        r.outcome = Outcome::Unknown;
        r.reason = "UDisks2 does not know " + device + ".";
        return r;
    }

    QDBusMessage backup = QDBusMessage::createMethodCall(service_, objects.front().path(),
                                                         kBlockInterface, "OpenForBackup");
    backup << QVariantMap{{"auth.no_user_interaction", false}};
    backup.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage answer = bus_.call(backup, QDBus::Block, timeoutMs_);
    if (answer.type() != QDBusMessage::ReplyMessage) return failure(QDBusError(answer), device);
    const auto handed = qvariant_cast<QDBusUnixFileDescriptor>(answer.arguments().value(0));
    if (!handed.isValid()) {
        r.reason = "UDisks2 could not open " + device + ": no descriptor came back.";
        return r;
    }
    // The message owns its descriptor; the reader and the cache get copies of their own.
    auto source = std::make_shared<FileReadSeek>();
    if (!source->adoptDescriptor(::fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 0), device)) {
        r.reason = "UDisks2 could not open " + device + ": " + source->lastError();
        return r;
    }
    if (int keep = ::fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 0); keep >= 0)
        granted_[device] = keep;
    r.outcome = Outcome::Opened;
    r.source = std::move(source);
    return r;
}

}  // namespace vel
