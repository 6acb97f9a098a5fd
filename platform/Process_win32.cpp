#include <windows.h>

#include "platform/NativeHandle_win32.h"
#include "platform/Process.h"
#include "platform/WideText_win32.h"

#include <vector>

namespace platform {

namespace {
static_assert(sizeof(STARTUPINFOW) == 104, "the child's startup information is 104 bytes on x86-64");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "the pipes' security attributes are 24 bytes on x86-64");
} // namespace

ConsoleLaunch launchWithConsolePipes(const std::string& executable, const std::string& argument) {
    ConsoleLaunch launch;

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(SECURITY_ATTRIBUTES);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;

    // Only the child's ends are inherited. As on every launch, these four results are not checked: a
    // launch with failed pipes still goes ahead and the child runs without a console.
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

std::string imageCheckCommandLine(const std::string& imageName) {
    return "cmd /C tasklist /FI \"IMAGENAME eq " + imageName + "\" | find /I \"" + imageName + "\"";
}
std::string imageKillCommandLine(const std::string& imageName) {
    return "cmd /C taskkill /F /IM " + imageName;
}

} // namespace platform
