#pragma once

// Internal to the Win32 backend; include <windows.h> first.

#include <atomic>
#include <mutex>

namespace platform {

// Blocking ReadFile or WriteFile calls of one thread that another thread can cut short:
// CancelSynchronousIo on the calling thread, retried while that thread has not yet reached the call
// (it fails with ERROR_NOT_FOUND until then). The pipe reader and writer are built on it, as their
// POSIX forms are on WakeablePoll.
class CancellableIo {
public:
    CancellableIo() = default;
    ~CancellableIo();
    CancellableIo(const CancellableIo&) = delete;
    CancellableIo& operator=(const CancellableIo&) = delete;

    // Runs `call`, one blocking system call on the calling thread, so that cancel() can end it; false,
    // without running it, once `interrupted` is raised. `call` must not throw.
    template <typename Call> bool run(const std::atomic<bool>& interrupted, Call&& call) {
        if (!enter(interrupted)) {
            return false;
        }
        call();
        leave();
        return true;
    }

    // Cancels a call in progress and keeps cancelling until it has returned. The caller raises its
    // flag first: a call that has not started yet then sees the flag and never starts.
    void cancel();

private:
    bool enter(const std::atomic<bool>& interrupted);
    void leave();

    std::mutex mutex_;
    bool inCall_ = false;           // the caller is between its last check of the flag and the call's return
    DWORD callerId_ = 0;            // the thread that opened callerThread_
    HANDLE callerThread_ = nullptr; // opened for CancelSynchronousIo
};

} // namespace platform
