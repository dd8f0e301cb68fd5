#include "cli/Interrupt.h"

#include <csignal>

namespace vel::cli {

namespace {
std::atomic<StopFlag*> target{nullptr};
std::atomic<bool> signalled{false};

void onSignal(int sig) {
    if (signalled.exchange(true)) {
        // Asked twice: no more waiting.
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    if (StopFlag* f = target.load()) f->request();
}
}  // namespace

InterruptGuard::InterruptGuard(StopFlag& stop) : previousTarget_(target.exchange(&stop)) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &interrupt_);
    ::sigaction(SIGTERM, &action, &terminate_);
    if (signalled.load()) stop.request();
}

InterruptGuard::~InterruptGuard() {
    ::sigaction(SIGINT, &interrupt_, nullptr);
    ::sigaction(SIGTERM, &terminate_, nullptr);
    target.store(previousTarget_);
    // A signal meant for the inner work stops the outer work too.
    if (signalled.load() && previousTarget_) previousTarget_->request();
}

bool InterruptGuard::interrupted() {
    return signalled.load();
}

}  // namespace vel::cli
