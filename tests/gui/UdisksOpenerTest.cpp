// The drive opener against a fake UDisks2 on a private bus of its own (never the system's).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <memory>

#include "app/CKestrumApp.h"
#include "app/UdisksOpener.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"

using namespace vel;
using namespace vel::test;

namespace {

const char* const kService = "org.freedesktop.UDisks2";

class UdisksOpenerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        qtApp();
        dir_ = new TempDir;
        image_ = new std::string(fixtureImage("fat12-mkfs.img"));
        const std::string config = dir_->file("bus.conf");
        writeFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>session</type><listen>unix:dir=" +
                      dir_->path() +
                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                      "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        daemon_ = new QProcess;
        daemon_->start("dbus-daemon", {"--config-file=" + QString::fromStdString(config),
                                       "--print-address", "--nofork"});
        ASSERT_TRUE(daemon_->waitForStarted(10000)) << "dbus-daemon: install package dbus-daemon";
        ASSERT_TRUE(daemon_->waitForReadyRead(10000))
            << daemon_->readAllStandardError().toStdString();
        address_ = new QString(QString::fromUtf8(daemon_->readLine()).trimmed());
        ASSERT_FALSE(address_->isEmpty());

        fake_ = new QProcess;
        fake_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        fake_->start(FAKE_UDISKS, {*address_, kService, QString::fromStdString(*image_)});
        ASSERT_TRUE(fake_->waitForReadyRead(10000));
        ASSERT_EQ(fake_->readLine().trimmed(), "ready");
    }

    static void TearDownTestSuite() {
        for (QProcess* p : {fake_, daemon_}) {
            if (!p) continue;
            p->kill();
            p->waitForFinished(5000);
            delete p;
        }
        fake_ = daemon_ = nullptr;
        delete dir_;
        delete image_;
        delete address_;
    }

    void SetUp() override {
        ASSERT_TRUE(fake_ && fake_->state() == QProcess::Running) << "no fake service";
    }

    static QDBusConnection bus() { return QDBusConnection::connectToBus(*address_, "vel-test"); }

    static int openCount() {
        QDBusMessage ask = QDBusMessage::createMethodCall(
            kService, "/org/freedesktop/UDisks2/Manager", "org.vellorine.Fake", "OpenCount");
        return bus().call(ask).arguments().value(0, -1).toInt();
    }

    static inline TempDir* dir_ = nullptr;
    static inline std::string* image_ = nullptr;
    static inline QString* address_ = nullptr;
    static inline QProcess* daemon_ = nullptr;
    static inline QProcess* fake_ = nullptr;
};

TEST_F(UdisksOpenerTest, ReadsTheImageThroughTheDescriptorTheServiceHandsOver) {
    const std::string bytes = readFile(*image_);
    UdisksOpener opener(bus(), kService);
    const int before = openCount();
    UdisksOpener::Result r = opener.open(*image_);
    ASSERT_EQ(r.outcome, UdisksOpener::Outcome::Opened) << r.reason;
    ASSERT_NE(r.source, nullptr);
    EXPECT_EQ(r.source->openedPath(), *image_);
    ASSERT_EQ(r.source->byteSize(), static_cast<std::int64_t>(bytes.size()));
    std::string got(bytes.size(), '\0');
    ASSERT_TRUE(r.source->readAt(0, got.data(), got.size()));
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(openCount(), before + 1);

    // Opened again (the volume list reopens its drive): no second password prompt.
    UdisksOpener::Result again = opener.open(*image_);
    ASSERT_EQ(again.outcome, UdisksOpener::Outcome::Opened) << again.reason;
    std::string sector(512, '\0');
    ASSERT_TRUE(again.source->readAt(512, sector.data(), sector.size()));
    EXPECT_EQ(sector, bytes.substr(512, 512));
    EXPECT_EQ(openCount(), before + 1);
    // Each reader owns its own descriptor: the first one going leaves the second readable.
    r.source.reset();
    ASSERT_TRUE(again.source->readAt(0, sector.data(), sector.size()));
    EXPECT_EQ(sector, bytes.substr(0, 512));
}

TEST_F(UdisksOpenerTest, RefusalsAbsenceAndUnknownDevicesAreToldApart) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<UdisksOpener>()> opener;
        std::string device;
        UdisksOpener::Outcome outcome;
        std::string reason;
    } cases[] = {
        {"refused", [] { return std::make_unique<UdisksOpener>(bus(), kService); },
         "/dev/vel-refused", UdisksOpener::Outcome::Refused,
         "UDisks2 did not open /dev/vel-refused: Not authorized to perform operation"},
        {"failed", [] { return std::make_unique<UdisksOpener>(bus(), kService); },
         "/dev/vel-broken", UdisksOpener::Outcome::Failed,
         "UDisks2 could not open /dev/vel-broken: Error opening"},
        {"unknown", [] { return std::make_unique<UdisksOpener>(bus(), kService); },
         "/dev/vel-elsewhere", UdisksOpener::Outcome::Unknown,
         "UDisks2 does not know /dev/vel-elsewhere."},
        {"service absent",
         [] { return std::make_unique<UdisksOpener>(bus(), "org.vellorine.NoSuchService"); },
         "/dev/vel-refused", UdisksOpener::Outcome::Absent,
         "UDisks2 is not there to open /dev/vel-refused for you."},
        {"no bus",
         [] {
             return std::make_unique<UdisksOpener>(QDBusConnection("vel-no-such-bus"), kService);
         },
         "/dev/vel-refused", UdisksOpener::Outcome::Absent,
         "UDisks2 is not there to open /dev/vel-refused for you (no system bus)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdisksOpener::Result r = c.opener()->open(c.device);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.source, nullptr);
        EXPECT_EQ(r.reason, c.reason);
    }
}

TEST_F(UdisksOpenerTest, TheWizardReadsTheGrantedDriveOrSaysHowToRunWithRights) {
    CKestrumApp& app = CKestrumApp::instance();
    RecordingMessageBoxes boxes;
    app.setMessageBoxes(&boxes);
    const bool wasRoot = app.runningAsRoot;
    app.runningAsRoot = false;
    UdisksOpener present(bus(), kService);
    UdisksOpener absent(bus(), "org.vellorine.NoSuchService");
    UdisksOpener* asked = &present;
    int calls = 0;
    app.setRightsOpener([&](const std::string& device, std::string& reason) {
        ++calls;
        UdisksOpener::Result r = asked->open(device);
        reason = r.reason;
        return std::shared_ptr<DiskSource>(r.source);
    });

    // A missing file is no matter of rights: the service is not asked.
    EXPECT_EQ(app.openReader("/nonexistent/vel-disk"), nullptr);
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"invalid handle ..."});
    EXPECT_EQ(calls, 0);
    boxes.clear();

    std::shared_ptr<DiskSource> granted = app.openReaderWithRights(*image_);
    ASSERT_NE(granted, nullptr);
    EXPECT_EQ(app.reader(), granted);
    std::string boot(512, '\0');
    ASSERT_TRUE(app.reader()->readAt(0, boot.data(), boot.size()));
    EXPECT_EQ(boot, readFile(*image_).substr(0, 512));
    EXPECT_TRUE(boxes.shown().empty());

    const std::string hint =
        "needs administrator rights: run `pkexec vellorine` or `sudo vellorine`.";
    EXPECT_EQ(app.openReaderWithRights("/dev/vel-refused"), nullptr);
    asked = &absent;
    EXPECT_EQ(app.openReaderWithRights("/dev/vel-refused"), nullptr);
    EXPECT_EQ(boxes.shown(),
              (std::vector<std::string>{
                  "invalid handle ...\n\nUDisks2 did not open /dev/vel-refused: Not authorized to "
                  "perform operation\nOpening /dev/vel-refused " +
                      hint,
                  "invalid handle ...\n\nUDisks2 is not there to open /dev/vel-refused for you.\n"
                  "Opening /dev/vel-refused " +
                      hint}));
    // A refusal keeps the reader that was open.
    EXPECT_EQ(app.reader(), granted);

    app.setRightsOpener(nullptr);
    app.runningAsRoot = wasRoot;
    app.setMessageBoxes(nullptr);
    app.deleteReader();
}

}  // namespace
