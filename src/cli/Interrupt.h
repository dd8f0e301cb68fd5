#pragma once
// Ctrl-C and SIGTERM as a Stop button: while a guard lives the first one sets the guarded stop
// flag and the work ends cleanly; a second one ends the process as usual.
#include <csignal>

#include "scan/WorkerControl.h"

namespace vel::cli {

class InterruptGuard {
  public:
    explicit InterruptGuard(StopFlag& target);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Whether a signal came since the process started.
    static bool interrupted();

  private:
    StopFlag* previousTarget_;
    struct sigaction interrupt_ {
    }, terminate_{};
};

}  // namespace vel::cli
