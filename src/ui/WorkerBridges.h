#pragma once
// What a worker thread is handed instead of the screen's own objects: each call is carried to
// the interface thread and returns once it was applied there. A paused worker waits before the
// call, so it never holds the interface thread.
#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "scan/ResultsTree.h"
#include "scan/ScanSink.h"
#include "scan/WorkerControl.h"

class QLabel;
class QProgressBar;

namespace vel {

// Runs f on context's thread and waits for it (directly when already there).
void runOnThreadOf(QObject* context, const std::function<void()>& f);

class TreeForwarder final : public ResultsTree {
  public:
    TreeForwarder(ResultsTree& target, QObject* context, PauseGate* gate)
        : target_(target), context_(context), gate_(gate) {}

    TreeItem insertItem(const std::string& text, IconKind icon, TreeItem parent) override;
    void setItemData(TreeItem item, ItemData data) override;
    ItemData itemData(TreeItem item) const override;
    void setItemColour(TreeItem item, std::uint32_t colour) override;
    std::uint32_t itemColour(TreeItem item) const override;
    CheckState checkState(TreeItem item) const override;
    void setChecked(TreeItem item, bool checked) override;
    TreeItem firstChild(TreeItem item) const override;
    TreeItem nextSibling(TreeItem item) const override;
    TreeItem parent(TreeItem item) const override;
    std::string itemText(TreeItem item) const override;
    void setItemText(TreeItem item, const std::string& text) override;
    IconKind itemIcon(TreeItem item) const override;
    void expand(TreeItem item) override;
    void deleteItem(TreeItem item) override;
    void deleteAll() override;

  private:
    template <typename F>
    auto call(F&& f) const;
    ResultsTree& target_;
    QObject* context_;
    PauseGate* gate_;
};

// Progress bar and status line of a screen, fed from its worker.
class QtScanSink final : public ScanSink {
  public:
    QtScanSink(QProgressBar* bar, QLabel* status, PauseGate* gate);
    void setProgressRange(std::int64_t maximum) override;
    void setProgressPosition(std::int64_t position) override;
    void setStatusText(const std::string& text) override;

  private:
    // Position and status arrive far faster than anyone can read them (one per MFT record):
    // the latest value is shown at most every few milliseconds, and always in the end.
    void publish(bool force);
    void apply();

    QPointer<QProgressBar> bar_;
    QPointer<QLabel> status_;
    QObject* context_;
    PauseGate* gate_;
    std::mutex mutex_;
    std::int64_t scale_ = 1;  // the bar holds an int; large ranges are scaled down
    std::int64_t position_ = -1;
    std::string status_text_;
    bool statusDirty_ = false, positionDirty_ = false;
    std::atomic<bool> applyQueued_{false};
    std::chrono::steady_clock::time_point lastApply_{};
};

}  // namespace vel
