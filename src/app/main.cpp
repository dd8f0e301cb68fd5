// The wizard: one copy per user, drive selection first. Arguments are disk images to list
// beside the drives.
#include <QApplication>
#include <QDBusConnection>
#include <QStringList>

#include "app/CKestrumApp.h"
#include "app/Physical_DriveDialog.h"
#include "app/UdisksOpener.h"
#include "device/DriveEnumeration.h"
#include "platform/InstanceLock.h"
#include "ui/GuiMessageBoxes.h"

namespace {
// Taken before anything else runs, and held to the process end.
const vel::InstanceLock instanceLock(vel::kInstanceMutexName);
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(vel::kApplicationTitle);
    QApplication::setOrganizationName(vel::kApplicationTitle);
    QApplication::setApplicationVersion(VELLORINE_VERSION);
    // The process ends only through a screen's close confirmation or its exit button.
    QApplication::setQuitOnLastWindowClosed(false);

    vel::CKestrumApp& state = vel::CKestrumApp::instance();
    state.initialise();
    // Lives to the process end: screens and workers may still ask while it ends.
    auto* boxes = new vel::GuiMessageBoxes;
    state.setMessageBoxes(boxes);

    if (!instanceLock.acquired()) {
        boxes->showInfo("Another instance of application is already running");
        return 0;
    }

    // A drive the user may not read is asked of UDisks2, which lets polkit ask for the password.
    auto* udisks = new vel::UdisksOpener(QDBusConnection::systemBus());
    state.setRightsOpener([udisks](const std::string& device, std::string& reason) {
        vel::UdisksOpener::Result r = udisks->open(device);
        reason = r.reason;
        return std::shared_ptr<vel::DiskSource>(r.source);
    });

    const QStringList images = app.arguments().mid(1);
    for (const QString& image : images) {
        vel::PhysicalDrive drive;
        if (!vel::addImageDrive(image.toStdString(), drive))
            boxes->showInfo("Cannot open the image file " + image.toStdString());
        for (const std::string& problem : drive.image.problems) boxes->showInfo(problem);
    }

    auto* first = new vel::Physical_DriveDialog;
    first->show();
    return app.exec();
}
