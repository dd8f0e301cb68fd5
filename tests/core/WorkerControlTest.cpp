#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scan/WorkerControl.h"

using namespace vel;
using namespace std::chrono_literals;

TEST(WorkerControl, PausedWorkerMakesNoProgressUntilResume) {
    PauseGate gate;
    StopFlag stop;
    stop.setPauseGate(&gate);
    std::atomic<int> steps{0};
    gate.pause();
    std::thread worker([&] {
        while (!stop.requested()) ++steps;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(steps.load(), 0);
    // Stop while paused: the worker sees it only after Resume.
    stop.request();
    EXPECT_TRUE(stop.isSet());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(steps.load(), 0);
    gate.resume();
    worker.join();
    EXPECT_EQ(steps.load(), 0);
    stop.clear();
    EXPECT_FALSE(stop.requested());
}

TEST(WorkerControl, RunningWorkerStopsAtItsNextPoll) {
    StopFlag stop;
    std::atomic<long> steps{0};
    std::thread worker([&] {
        while (!stop.requested()) ++steps;
    });
    while (steps.load() == 0) std::this_thread::yield();
    stop.request();
    worker.join();
    EXPECT_GT(steps.load(), 0);
}
