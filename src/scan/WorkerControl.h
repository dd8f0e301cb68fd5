#pragma once
// Stop and pause for workers. Stop is a one-byte flag the worker polls; pause is cooperative: a
// paused worker blocks at its next poll, holding nothing the interface thread waits for.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vel {

class PauseGate {
  public:
    void pause();
    void resume();
    bool isPaused() const { return paused_.load(); }
    // Blocks the calling worker while paused.
    void waitWhilePaused();

  private:
    std::atomic<bool> paused_{false};
    std::mutex mutex_;
    std::condition_variable resumed_;
};

class StopFlag {
  public:
    void request() { flag_.store(1); }
    void clear() { flag_.store(0); }
    // The worker's poll: waits out a pause, then answers whether to stop.
    bool requested() const {
        if (PauseGate* gate = gate_.load()) gate->waitWhilePaused();
        return flag_.load() != 0;
    }
    // Reads the flag without waiting on a pause (for the interface thread).
    bool isSet() const { return flag_.load() != 0; }
    void setPauseGate(PauseGate* gate) { gate_.store(gate); }

  private:
    std::atomic<std::uint8_t> flag_{0};
    std::atomic<PauseGate*> gate_{nullptr};
};

}  // namespace vel
