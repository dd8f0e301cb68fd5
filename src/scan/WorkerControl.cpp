#include "scan/WorkerControl.h"

namespace vel {

void PauseGate::pause() {
    std::lock_guard lock(mutex_);
    paused_.store(true);
}

void PauseGate::resume() {
    {
        std::lock_guard lock(mutex_);
        paused_.store(false);
    }
    resumed_.notify_all();
}

void PauseGate::waitWhilePaused() {
    if (!paused_.load()) return;
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return !paused_.load(); });
}

}  // namespace vel
