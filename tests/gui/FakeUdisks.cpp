// A stand-in for the UDisks2 service on a private bus, enough for the drive opener:
//   fake_udisks BUS_ADDRESS SERVICE_NAME IMAGE
// The Manager resolves IMAGE's own path to block object "granted" (OpenForBackup hands out a
// read-only descriptor of IMAGE), /dev/vel-refused to "refused" (NotAuthorized) and
// /dev/vel-broken to "broken" (Failed); any other path to none. Options other than exactly
// {"auth.no_user_interaction": false} are refused as invalid. Prints "ready" once it serves.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QVariantMap>
#include <cstdio>

namespace {

const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlocks = kRoot + QStringLiteral("/block_devices/");

class FakeUdisks final : public QDBusVirtualObject {
  public:
    explicit FakeUdisks(QString image) : image_(std::move(image)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        const QVariantMap first = qdbus_cast<QVariantMap>(m.arguments().value(0));
        if (m.path() == kRoot + "/Manager" && m.member() == "ResolveDevice") {
            const QString path = first.value("path").toString();
            QList<QDBusObjectPath> found;
            if (path == image_) found << QDBusObjectPath(kBlocks + "granted");
            if (path == "/dev/vel-refused") found << QDBusObjectPath(kBlocks + "refused");
            if (path == "/dev/vel-broken") found << QDBusObjectPath(kBlocks + "broken");
            return bus.send(m.createReply(QVariant::fromValue(found)));
        }
        if (m.path() == kRoot + "/Manager" && m.member() == "OpenCount")
            return bus.send(m.createReply(opened_));
        if (m.interface() != "org.freedesktop.UDisks2.Block" || m.member() != "OpenForBackup")
            return false;
        const QVariant interaction = first.value("auth.no_user_interaction");
        if (first.size() != 1 || interaction.metaType() != QMetaType::fromType<bool>() ||
            interaction.toBool())
            return bus.send(m.createErrorReply(QDBusError::InvalidArgs, "unexpected options"));
        if (m.path() == kBlocks + "refused")
            return bus.send(m.createErrorReply("org.freedesktop.UDisks2.Error.NotAuthorized",
                                               "Not authorized to perform operation"));
        if (m.path() != kBlocks + "granted")
            return bus.send(
                m.createErrorReply("org.freedesktop.UDisks2.Error.Failed", "Error opening"));
        const int fd = ::open(image_.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        QDBusUnixFileDescriptor handed(fd);
        if (fd >= 0) ::close(fd);
        ++opened_;
        return bus.send(m.createReply(QVariant::fromValue(handed)));
    }

  private:
    QString image_;
    int opened_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: fake_udisks BUS_ADDRESS SERVICE_NAME IMAGE\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), "fake");
    FakeUdisks udisks(QString::fromLocal8Bit(argv[3]));
    if (!bus.isConnected() ||
        !bus.registerVirtualObject(kRoot, &udisks, QDBusConnection::SubPath) ||
        !bus.registerService(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "fake_udisks: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
