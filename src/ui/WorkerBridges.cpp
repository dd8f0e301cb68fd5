#include "ui/WorkerBridges.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <climits>

namespace vel {

void runOnThreadOf(QObject* context, const std::function<void()>& f) {
    if (QThread::currentThread() == context->thread())
        f();
    else
        QMetaObject::invokeMethod(context, f, Qt::BlockingQueuedConnection);
}

template <typename F>
auto TreeForwarder::call(F&& f) const {
    // Only a worker waits out a pause; the interface thread itself must never block on it.
    if (gate_ && QThread::currentThread() != context_->thread()) gate_->waitWhilePaused();
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
        runOnThreadOf(context_, f);
    } else {
        R result{};
        runOnThreadOf(context_, [&] { result = f(); });
        return result;
    }
}

TreeItem TreeForwarder::insertItem(const std::string& text, IconKind icon, TreeItem parent) {
    return call([&] { return target_.insertItem(text, icon, parent); });
}
void TreeForwarder::setItemData(TreeItem item, ItemData data) {
    call([&] { target_.setItemData(item, data); });
}
ItemData TreeForwarder::itemData(TreeItem item) const {
    return call([&] { return target_.itemData(item); });
}
void TreeForwarder::setItemColour(TreeItem item, std::uint32_t colour) {
    call([&] { target_.setItemColour(item, colour); });
}
std::uint32_t TreeForwarder::itemColour(TreeItem item) const {
    return call([&] { return target_.itemColour(item); });
}
CheckState TreeForwarder::checkState(TreeItem item) const {
    return call([&] { return target_.checkState(item); });
}
void TreeForwarder::setChecked(TreeItem item, bool checked) {
    call([&] { target_.setChecked(item, checked); });
}
TreeItem TreeForwarder::firstChild(TreeItem item) const {
    return call([&] { return target_.firstChild(item); });
}
TreeItem TreeForwarder::nextSibling(TreeItem item) const {
    return call([&] { return target_.nextSibling(item); });
}
TreeItem TreeForwarder::parent(TreeItem item) const {
    return call([&] { return target_.parent(item); });
}
std::string TreeForwarder::itemText(TreeItem item) const {
    return call([&] { return target_.itemText(item); });
}
void TreeForwarder::setItemText(TreeItem item, const std::string& text) {
    call([&] { target_.setItemText(item, text); });
}
IconKind TreeForwarder::itemIcon(TreeItem item) const {
    return call([&] { return target_.itemIcon(item); });
}
void TreeForwarder::expand(TreeItem item) {
    call([&] { target_.expand(item); });
}
void TreeForwarder::deleteItem(TreeItem item) {
    call([&] { target_.deleteItem(item); });
}
void TreeForwarder::deleteAll() {
    call([&] { target_.deleteAll(); });
}

QtScanSink::QtScanSink(QProgressBar* bar, QLabel* status, PauseGate* gate)
    : bar_(bar),
      status_(status),
      context_(status ? static_cast<QObject*>(status) : bar),
      gate_(gate) {}

void QtScanSink::apply() {
    applyQueued_ = false;
    std::lock_guard lock(mutex_);
    if (positionDirty_ && bar_) bar_->setValue(static_cast<int>(position_ / scale_));
    if (statusDirty_ && status_) status_->setText(QString::fromStdString(status_text_));
    positionDirty_ = statusDirty_ = false;
}

void QtScanSink::publish(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastApply_ < std::chrono::milliseconds(15)) {
        if (!applyQueued_.exchange(true))
            QMetaObject::invokeMethod(
                context_, [this] { apply(); }, Qt::QueuedConnection);
        return;
    }
    lastApply_ = now;
    runOnThreadOf(context_, [this] { apply(); });
}

void QtScanSink::setProgressRange(std::int64_t maximum) {
    if (gate_ && QThread::currentThread() != context_->thread()) gate_->waitWhilePaused();
    runOnThreadOf(context_, [&] {
        std::lock_guard lock(mutex_);
        scale_ = 1;
        while (maximum / scale_ > INT_MAX) scale_ *= 2;
        if (bar_) bar_->setRange(0, static_cast<int>(maximum / scale_));
    });
}

void QtScanSink::setProgressPosition(std::int64_t position) {
    if (gate_ && QThread::currentThread() != context_->thread()) gate_->waitWhilePaused();
    {
        std::lock_guard lock(mutex_);
        position_ = position;
        positionDirty_ = true;
    }
    publish(false);
}

void QtScanSink::setStatusText(const std::string& text) {
    if (gate_ && QThread::currentThread() != context_->thread()) gate_->waitWhilePaused();
    {
        std::lock_guard lock(mutex_);
        status_text_ = text;
        statusDirty_ = true;
    }
    publish(false);
}

}  // namespace vel
