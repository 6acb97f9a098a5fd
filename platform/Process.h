#pragma once

#include "platform/Handle.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The companion started with its console on two pipes. On failure `error` holds the system's code
// (GetLastError on Windows, errno elsewhere) and every pipe end made for the attempt is closed again.
// `process` is a process handle on Windows and the process id on POSIX: never pass it to closeHandle.
// On POSIX all four ends are close-on-exec in this process, so no later child inherits them.
struct ConsoleLaunch {
    bool started = false;
    unsigned long error = 0;
    NativeHandle process = kInvalidHandle;
    NativeHandle stdinRead = kInvalidHandle;   // the child's standard input
    NativeHandle stdinWrite = kInvalidHandle;  // kept by the library, never written
    NativeHandle stdoutRead = kInvalidHandle;  // read by the output relay
    NativeHandle stdoutWrite = kInvalidHandle; // the child's standard output and standard error
};

// The companion's command line: a double quote, the executable, a double quote, one blank, a double
// quote, the argument, a double quote.
std::string quotedCommandLine(const std::string& executable, const std::string& argument);

// Windows: CreatePipe x2, SetHandleInformation, CreateProcessW on quotedCommandLine (converted with the
// system code page), handles inherited. POSIX: posix_spawn of the executable with the argument, stdin
// from one pipe, stdout and stderr into the other.
ConsoleLaunch launchWithConsolePipes(const std::string& executable, const std::string& argument);

// Runs one command with no window and waits for it without a limit; its exit code (preset to 1, so a
// failed query counts as failure), or nothing when it could not be started.
std::optional<unsigned long> runHidden(const std::string& commandLine);

// The two command lines of unload: is the companion running, and end it by image name.
const char* companionCheckCommandLine();
const char* companionKillCommandLine();

// A command line for runHidden that does nothing but exit with `code` (for tests and tools).
std::string exitCodeCommandLine(int code);

// For a process this process started (ConsoleLaunch::process): ends it and reaps it, or waits at most
// `limit` for its exit code. The handle itself stays open on Windows.
bool terminateProcess(NativeHandle process);
std::optional<int> waitForProcess(NativeHandle process, std::chrono::milliseconds limit);

// A child process started by a test or a tool, ended only by its id.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess(); // kills and reaps a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    // Starts program with arguments (argv[1..]); standard streams inherited. False on failure.
    bool start(const std::string& program, const std::vector<std::string>& arguments);
    // Exit code once the child has ended within the limit; nothing if it still runs.
    std::optional<int> waitFor(std::chrono::milliseconds limit);
    bool running();
    void kill();
    long id() const { return id_; }

private:
    NativeHandle handle_ = kInvalidHandle;
    long id_ = 0;
    std::optional<int> exitCode_;
};

// This process's id, and whether a process of that id exists.
long currentProcessId();
bool processExists(long id);

// The full path of this process's executable ("" when unknown).
std::string currentExecutablePath();

} // namespace platform
