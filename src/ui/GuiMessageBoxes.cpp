#include "ui/GuiMessageBoxes.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

namespace vel {

namespace {
template <typename F>
void onInterfaceThread(QObject* context, F&& f) {
    if (QThread::currentThread() == context->thread())
        f();
    else
        QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::BlockingQueuedConnection);
}
}  // namespace

void GuiMessageBoxes::showInfo(const std::string& text) {
    onInterfaceThread(this, [&] {
        QMessageBox::information(owner_, kApplicationTitle, QString::fromStdString(text));
    });
}

bool GuiMessageBoxes::askYesNo(const std::string& text) {
    bool yes = false;
    onInterfaceThread(this, [&] {
        yes = QMessageBox::question(owner_, kApplicationTitle, QString::fromStdString(text),
                                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    });
    return yes;
}

}  // namespace vel
