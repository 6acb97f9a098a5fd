#include <windows.h>

#include "platform/TerminationRequest.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<bool> requested{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        requested.store(true);
        return TRUE;
    default:
        return FALSE;
    }
}
} // namespace

bool installTerminationRequestHandlers() {
    return ::SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

bool terminationRequested() {
    return requested.load();
}

} // namespace platform
