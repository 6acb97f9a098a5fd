#include "platform/TerminationRequest.h"

#include <initializer_list>
#include <atomic>
#include <csignal>

namespace platform {

namespace {
// Written from a signal handler: lock-free atomics are async-signal-safe.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onTerminationSignal(int) {
    requested.store(true);
}
} // namespace

bool installTerminationRequestHandlers() {
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ok = ::sigaction(SIGPIPE, &ignore, nullptr) == 0 && ok;
    return ok;
}

bool terminationRequested() {
    return requested.load();
}

} // namespace platform
