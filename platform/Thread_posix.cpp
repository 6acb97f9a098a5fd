#include "platform/Thread.h"
#include "platform/ThreadName.h"

#include <array>
#include <cerrno>
#include <ctime>
#include <limits>
#include <pthread.h>

namespace platform {

struct Thread::Native {
    pthread_t thread{};
};

namespace {
struct StartRecord {
    ThreadProcedure procedure;
    void* argument;
    std::array<char, kThreadNameSize> name; // empty: unnamed
};

void* trampoline(void* raw) {
    // The new thread owns its start record, so nothing it reads depends on the Thread object's life.
    auto* record = static_cast<StartRecord*>(raw);
    const ThreadProcedure procedure = record->procedure;
    void* const argument = record->argument;
    nameCurrentThread(record->name.data());
    delete record;
    procedure(argument);
    return nullptr;
}

// pthread_timedjoin_np takes an absolute CLOCK_REALTIME deadline; saturate instead of overflowing.
timespec realtimeDeadline(std::chrono::milliseconds limit) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto maxSeconds = std::numeric_limits<decltype(now.tv_sec)>::max();
    const long long addSeconds = limit.count() / 1000;
    long long nanos = static_cast<long long>(now.tv_nsec) + (limit.count() % 1000) * 1000000LL;
    long long seconds = addSeconds + nanos / 1000000000LL;
    nanos %= 1000000000LL;
    if (seconds > static_cast<long long>(maxSeconds - now.tv_sec)) {
        now.tv_sec = maxSeconds;
        now.tv_nsec = 999999999L;
        return now;
    }
    now.tv_sec += static_cast<decltype(now.tv_sec)>(seconds);
    now.tv_nsec = static_cast<long>(nanos);
    return now;
}
} // namespace

void nameCurrentThread(const char* name) {
    if (name && name[0] != '\0') {
        ::pthread_setname_np(::pthread_self(), name);
    }
}

Thread::~Thread() {
    if (!held_) {
        return;
    }
    if (isCurrent()) {
        // A thread cannot wait for itself; let it release its own resources when it ends.
        ::pthread_detach(native_->thread);
        delete native_;
        native_ = nullptr;
        held_ = false;
        return;
    }
    join();
}

bool Thread::start(ThreadProcedure procedure, void* argument, const char* name) {
    if (held_ || !procedure) {
        return false;
    }
    auto* native = new Native;
    auto* record = new StartRecord{procedure, argument, threadName(name)};
    if (::pthread_create(&native->thread, nullptr, &trampoline, record) != 0) {
        delete record;
        delete native;
        return false;
    }
    native_ = native;
    held_ = true;
    return true;
}

Thread::JoinResult Thread::joinFor(std::chrono::milliseconds limit) {
    if (!held_) {
        return JoinResult::NotStarted;
    }
    if (isCurrent()) {
        return JoinResult::Failed;
    }
    int rc;
    if (limit.count() <= 0) {
        rc = ::pthread_tryjoin_np(native_->thread, nullptr);
    } else {
        const timespec deadline = realtimeDeadline(limit);
        rc = ::pthread_timedjoin_np(native_->thread, nullptr, &deadline);
    }
    if (rc == ETIMEDOUT || rc == EBUSY) {
        return JoinResult::TimedOut;
    }
    if (rc != 0) {
        return JoinResult::Failed;
    }
    delete native_;
    native_ = nullptr;
    held_ = false;
    return JoinResult::Joined;
}

Thread::JoinResult Thread::join() {
    if (!held_) {
        return JoinResult::NotStarted;
    }
    if (isCurrent()) {
        return JoinResult::Failed;
    }
    if (::pthread_join(native_->thread, nullptr) != 0) {
        return JoinResult::Failed;
    }
    delete native_;
    native_ = nullptr;
    held_ = false;
    return JoinResult::Joined;
}

bool Thread::isCurrent() const {
    return held_ && ::pthread_equal(native_->thread, ::pthread_self()) != 0;
}

} // namespace platform
