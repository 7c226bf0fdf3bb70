#include "platform/Signals.h"

#include "platform/ExitStatus.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace tarvolen {
namespace {

constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Lock-free, hence safe to touch from a signal handler.
std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onQuitSignal(int signalNumber) {
    int none = 0;
    // Only _exit and atomics here: both are async-signal-safe.
    if (!pendingSignal.compare_exchange_strong(none, signalNumber)) _exit(kExitStatus);
}

}  // namespace

void installQuitSignals() {
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    // The loop looks at the request every few milliseconds; interrupted
    // system calls need not fail for it.
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kQuitSignals) sigaction(signalNumber, &action, nullptr);
}

void ignoreBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

bool quitRequested() { return pendingSignal.load() != 0; }

int quitSignal() { return pendingSignal.load(); }

}  // namespace tarvolen
