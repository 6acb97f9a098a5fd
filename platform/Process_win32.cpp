#include <windows.h>

#include "platform/Process.h"
#include "platform/WideText_win32.h"

#include <vector>

namespace platform {

namespace {
static_assert(sizeof(STARTUPINFOW) == 104, "the companion's startup information is 104 bytes on x86-64");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "the pipes' security attributes are 24 bytes on x86-64");

NativeHandle toNative(HANDLE handle) {
    return (handle == nullptr || handle == INVALID_HANDLE_VALUE) ? kInvalidHandle
                                                                 : reinterpret_cast<NativeHandle>(handle);
}

HANDLE toHandle(NativeHandle handle) {
    return isValid(handle) ? reinterpret_cast<HANDLE>(handle) : nullptr;
}

void closeOwned(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    handle = nullptr;
}

DWORD waitMilliseconds(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) {
        return 0;
    }
    if (limit.count() >= static_cast<long long>(INFINITE)) {
        return INFINITE - 1;
    }
    return static_cast<DWORD>(limit.count());
}

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

ConsoleLaunch launchWithConsolePipes(const std::string& executable, const std::string& argument) {
    ConsoleLaunch launch;

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(SECURITY_ATTRIBUTES);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;

    // Only the child's ends are inherited. As on every launch, these four results are not checked: a
    // launch with failed pipes still goes ahead and the companion runs without a console.
    HANDLE stdoutRead = nullptr;
    HANDLE stdoutWrite = nullptr;
    HANDLE stdinRead = nullptr;
    HANDLE stdinWrite = nullptr;
    ::CreatePipe(&stdoutRead, &stdoutWrite, &security, 0);
    ::SetHandleInformation(stdoutRead, HANDLE_FLAG_INHERIT, 0);
    ::CreatePipe(&stdinRead, &stdinWrite, &security, 0);
    ::SetHandleInformation(stdinWrite, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(STARTUPINFOW);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = stdinRead;
    startup.hStdOutput = stdoutWrite;
    startup.hStdError = stdoutWrite;
    PROCESS_INFORMATION info{};

    // The narrow path comes from getenv in the system code page; converting from that code page keeps
    // a path with non-ASCII characters intact.
    BOOL created = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (auto wide = widenSystemCodePage(quotedCommandLine(executable, argument))) {
        std::vector<wchar_t> commandLine(wide->begin(), wide->end());
        commandLine.push_back(L'\0');
        created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &info);
    }
    if (!created) {
        error = ::GetLastError();
    }

    if (created) {
        ::CloseHandle(info.hThread);
        launch.started = true;
        launch.process = toNative(info.hProcess);
        launch.stdinRead = toNative(stdinRead);
        launch.stdinWrite = toNative(stdinWrite);
        launch.stdoutRead = toNative(stdoutRead);
        launch.stdoutWrite = toNative(stdoutWrite);
        return launch;
    }
    launch.error = error;
    // Nothing will ever read or write these ends: every failed attempt would leak four handles.
    closeOwned(stdoutWrite);
    closeOwned(stdinRead);
    closeOwned(stdoutRead);
    closeOwned(stdinWrite);
    return launch;
}

std::optional<unsigned long> runHidden(const std::string& commandLine) {
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(STARTUPINFOA);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info)) {
        return std::nullopt;
    }
    ::WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1;
    if (!::GetExitCodeProcess(info.hProcess, &exitCode)) {
        exitCode = 1;
    }
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    return static_cast<unsigned long>(exitCode);
}

const char* companionCheckCommandLine() {
    return "cmd /C tasklist /FI \"IMAGENAME eq SabletBase.exe\" | find /I \"SabletBase.exe\"";
}
const char* companionKillCommandLine() {
    return "cmd /C taskkill /F /IM SabletBase.exe";
}

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

ChildProcess::~ChildProcess() {
    kill();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle_(other.handle_), id_(other.id_), exitCode_(other.exitCode_) {
    other.handle_ = kInvalidHandle;
    other.id_ = 0;
    other.exitCode_.reset();
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        handle_ = other.handle_;
        id_ = other.id_;
        exitCode_ = other.exitCode_;
        other.handle_ = kInvalidHandle;
        other.id_ = 0;
        other.exitCode_.reset();
    }
    return *this;
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

bool ChildProcess::running() {
    return isValid(handle_) && !waitFor(std::chrono::milliseconds(0));
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
