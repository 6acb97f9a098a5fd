#include <windows.h>

#include "platform/ThreadPriority.h"

namespace platform {

namespace {
using SetCharacteristics = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
using SetPriority = BOOL(WINAPI*)(HANDLE, int);
using Revert = BOOL(WINAPI*)(HANDLE);
constexpr int kAvrtPriorityHigh = 1;

template <typename F> F entry(HMODULE module, const char* name) {
    // Through the one function type every other one may be cast to and back.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}
} // namespace

struct RealtimePriority::Saved {
    HMODULE avrt = nullptr;
    HANDLE task = nullptr;
    Revert revert = nullptr;
    int previousPriority = THREAD_PRIORITY_NORMAL;
};

RealtimePriority::RealtimePriority(bool wanted) {
    if (!wanted) {
        description_ = "normal (not asked for)";
        return;
    }
    auto* saved = new Saved;
    saved->avrt = ::LoadLibraryW(L"avrt.dll");
    DWORD mmcssError = ERROR_MOD_NOT_FOUND;
    if (saved->avrt) {
        const auto set = entry<SetCharacteristics>(saved->avrt, "AvSetMmThreadCharacteristicsW");
        const auto priority = entry<SetPriority>(saved->avrt, "AvSetMmThreadPriority");
        saved->revert = entry<Revert>(saved->avrt, "AvRevertMmThreadCharacteristics");
        DWORD taskIndex = 0;
        if (set && saved->revert) {
            saved->task = set(L"Pro Audio", &taskIndex);
            mmcssError = saved->task ? ERROR_SUCCESS : ::GetLastError();
        }
        if (saved->task) {
            const bool high = priority && priority(saved->task, kAvrtPriorityHigh);
            saved_ = saved;
            granted_ = Granted::MultimediaClass;
            description_ = high ? "multimedia class Pro Audio, high" : "multimedia class Pro Audio";
            return;
        }
    }
    saved->previousPriority = ::GetThreadPriority(::GetCurrentThread());
    if (::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        saved_ = saved;
        granted_ = Granted::TimeCritical;
        description_ = "time-critical (multimedia class refused: error " + std::to_string(mmcssError) + ")";
        return;
    }
    if (saved->avrt) {
        ::FreeLibrary(saved->avrt);
    }
    delete saved;
    description_ =
        "normal (multimedia class and time-critical refused: error " + std::to_string(::GetLastError()) + ")";
}

RealtimePriority::~RealtimePriority() {
    if (!saved_) {
        return;
    }
    if (saved_->task) {
        saved_->revert(saved_->task);
    } else {
        ::SetThreadPriority(::GetCurrentThread(), saved_->previousPriority);
    }
    if (saved_->avrt) {
        ::FreeLibrary(saved_->avrt);
    }
    delete saved_;
}

} // namespace platform
