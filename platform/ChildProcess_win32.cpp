#include <windows.h>

#include "platform/ChildProcess.h"
#include "platform/NativeHandle_win32.h"
#include "platform/WideText_win32.h"

#include <vector>

namespace platform {

namespace {
// One argument as the C runtime's command-line parser reads it back: quoted, with the backslashes
// before a quote doubled.
void appendQuoted(std::string& line, const std::string& argument) {
    line.push_back('"');
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, '\\');
    line.push_back('"');
}

// An inheritable copy of one of this process's standard handles, for a child that should share them.
HANDLE inheritableCopy(DWORD which) {
    const HANDLE original = ::GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), original, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}
} // namespace

std::string exitCodeCommandLine(int code) {
    return "cmd /C exit " + std::to_string(code);
}

bool terminateProcess(NativeHandle process) {
    const HANDLE handle = toHandle(process);
    if (!handle) {
        return false;
    }
    if (!::TerminateProcess(handle, 1)) {
        DWORD code = 0;
        // A process that has already ended cannot be terminated, and needs no ending.
        if (!::GetExitCodeProcess(handle, &code) || code == STILL_ACTIVE) {
            return false;
        }
    }
    return ::WaitForSingleObject(handle, 10000) == WAIT_OBJECT_0;
}

std::optional<int> waitForProcess(NativeHandle process, std::chrono::milliseconds limit) {
    const HANDLE handle = toHandle(process);
    if (!handle || ::WaitForSingleObject(handle, waitMilliseconds(limit)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 1;
    if (!::GetExitCodeProcess(handle, &code)) {
        code = 1;
    }
    return static_cast<int>(code);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    if (isValid(handle_)) {
        return false;
    }
    std::string line;
    appendQuoted(line, program);
    for (const auto& argument : arguments) {
        line.push_back(' ');
        appendQuoted(line, argument);
    }
    auto wide = widenSystemCodePage(line);
    if (!wide) {
        return false;
    }
    std::vector<wchar_t> commandLine(wide->begin(), wide->end());
    commandLine.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(STARTUPINFOW);
    HANDLE input = inheritableCopy(STD_INPUT_HANDLE);
    HANDLE output = inheritableCopy(STD_OUTPUT_HANDLE);
    HANDLE error = inheritableCopy(STD_ERROR_HANDLE);
    if (input || output || error) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = error;
    }
    PROCESS_INFORMATION info{};
    const BOOL created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &startup, &info);
    closeOwned(input);
    closeOwned(output);
    closeOwned(error);
    if (!created) {
        return false;
    }
    ::CloseHandle(info.hThread);
    handle_ = toNative(info.hProcess);
    id_ = static_cast<long>(info.dwProcessId);
    exitCode_.reset();
    return true;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds limit) {
    if (exitCode_ || !isValid(handle_)) {
        return exitCode_;
    }
    exitCode_ = waitForProcess(handle_, limit);
    if (exitCode_) {
        ::CloseHandle(toHandle(handle_));
        handle_ = kInvalidHandle;
    }
    return exitCode_;
}

void ChildProcess::kill() {
    if (!isValid(handle_)) {
        return;
    }
    terminateProcess(handle_);
    DWORD code = 1;
    if (!::GetExitCodeProcess(toHandle(handle_), &code)) {
        code = 1;
    }
    exitCode_ = static_cast<int>(code);
    ::CloseHandle(toHandle(handle_));
    handle_ = kInvalidHandle;
}

long currentProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool processExists(long id) {
    if (id <= 0) {
        return false;
    }
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!process) {
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool alive = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return alive;
}

std::string currentExecutablePath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return std::string();
        }
        if (n < buffer.size()) {
            return std::string(buffer.data(), n);
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
