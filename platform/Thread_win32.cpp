#include <windows.h>

#include "platform/NativeHandle_win32.h"
#include "platform/Thread.h"
#include "platform/ThreadName.h"

#include <array>
#include <string>

namespace platform {

struct Thread::Native {
    HANDLE handle = nullptr;
    DWORD id = 0;
};

namespace {
struct StartRecord {
    ThreadProcedure procedure;
    void* argument;
    std::array<char, kThreadNameSize> name; // empty: unnamed
};

DWORD WINAPI trampoline(LPVOID raw) {
    // The new thread owns its start record, so nothing it reads depends on the Thread object's life.
    auto* record = static_cast<StartRecord*>(raw);
    const ThreadProcedure procedure = record->procedure;
    void* const argument = record->argument;
    nameCurrentThread(record->name.data());
    delete record;
    return static_cast<DWORD>(procedure(argument));
}

} // namespace

void nameCurrentThread(const char* name) {
    if (!name || name[0] == '\0') {
        return;
    }
    // Windows 10 1607 and later; older systems (and Wine before 5.x) have no thread names.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto set = kernel ? reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
                                  ::GetProcAddress(kernel, "SetThreadDescription")))
                            : nullptr;
    if (set) {
        // The names are ASCII, so each character widens as it is.
        const std::string narrow(name);
        const std::wstring wide(narrow.begin(), narrow.end());
        set(::GetCurrentThread(), wide.c_str());
    }
}

Thread::~Thread() {
    if (!held_) {
        return;
    }
    if (isCurrent()) {
        // A thread cannot wait for itself; closing the handle lets the system free it when it ends.
        ::CloseHandle(native_->handle);
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
    native->handle = ::CreateThread(nullptr, 0, &trampoline, record, 0, &native->id);
    if (!native->handle) {
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
    const DWORD result = ::WaitForSingleObject(native_->handle, waitMilliseconds(limit));
    if (result == WAIT_TIMEOUT) {
        return JoinResult::TimedOut;
    }
    if (result != WAIT_OBJECT_0) {
        return JoinResult::Failed;
    }
    ::CloseHandle(native_->handle);
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
    if (::WaitForSingleObject(native_->handle, INFINITE) != WAIT_OBJECT_0) {
        return JoinResult::Failed;
    }
    ::CloseHandle(native_->handle);
    delete native_;
    native_ = nullptr;
    held_ = false;
    return JoinResult::Joined;
}

bool Thread::isCurrent() const {
    return held_ && native_->id == ::GetCurrentThreadId();
}

} // namespace platform
