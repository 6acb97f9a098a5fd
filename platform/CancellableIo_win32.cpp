#include <windows.h>

#include "platform/CancellableIo_win32.h"

namespace platform {

CancellableIo::~CancellableIo() {
    if (callerThread_) {
        ::CloseHandle(callerThread_);
    }
}

bool CancellableIo::enter(const std::atomic<bool>& interrupted) {
    std::lock_guard<std::mutex> lock(mutex_);
    const DWORD self = ::GetCurrentThreadId();
    if (callerId_ != self || !callerThread_) {
        if (callerThread_) {
            ::CloseHandle(callerThread_);
        }
        HANDLE thread = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                               THREAD_TERMINATE, FALSE, 0)) {
            thread = nullptr;
        }
        callerThread_ = thread;
        callerId_ = self;
    }
    // Checked under the lock that cancel() takes: either cancel() sees this call and keeps cancelling
    // until it is over, or this call sees the flag and never starts.
    if (interrupted.load()) {
        return false;
    }
    inCall_ = true;
    return true;
}

void CancellableIo::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    inCall_ = false;
}

void CancellableIo::cancel() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!inCall_ || !callerThread_) {
                return;
            }
            // Fails with ERROR_NOT_FOUND while the caller has not reached its call yet; then try again.
            ::CancelSynchronousIo(callerThread_);
        }
        ::Sleep(1);
    }
}

} // namespace platform
