#pragma once

#include "platform/Handle.h"

#include <chrono>

namespace platform {

// A thread procedure: takes its owner as the only argument and returns 0.
using ThreadProcedure = int (*)(void* argument);

// One native thread (CreateThread on Windows, pthreads elsewhere) with exactly one owner, which joins it.
// The destructor joins a thread that is still running.
class Thread {
public:
    enum class JoinResult { Joined, TimedOut, Failed, NotStarted };

    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the procedure at once; false when the thread could not be created. Refused (false)
    // while a thread that has not been joined is held. A name (at most 15 characters are kept) is what
    // debuggers, profilers and the system's thread lists show: pthread_setname_np on Linux,
    // SetThreadDescription on Windows where the system has it (looked up at run time: Windows 10
    // 1607 and later); elsewhere the thread stays unnamed. The thread takes it before the procedure runs.
    bool start(ThreadProcedure procedure, void* argument, const char* name = nullptr);

    // Waits at most `limit` for the thread to end; Joined releases it.
    JoinResult joinFor(std::chrono::milliseconds limit);

    // Waits without a limit.
    JoinResult join();

    // True from a successful start until the thread has been joined.
    bool held() const { return held_; }

    // True when called on this thread itself.
    bool isCurrent() const;

private:
    struct Native;
    Native* native_ = nullptr;
    bool held_ = false;
};

} // namespace platform
