#pragma once

#include "platform/Handle.h"

#include <optional>
#include <string>

namespace platform {

// A program started with its console on two pipes. On failure `error` holds the system's code
// (GetLastError on Windows, errno elsewhere) and every pipe end made for the attempt is closed again.
// `process` is a process handle on Windows and the process id on POSIX: never pass it to closeHandle.
// On POSIX all four ends are close-on-exec in this process, so no later child inherits them.
struct ConsoleLaunch {
    bool started = false;
    unsigned long error = 0;
    NativeHandle process = kInvalidHandle;
    NativeHandle stdinRead = kInvalidHandle;   // the child's standard input
    NativeHandle stdinWrite = kInvalidHandle;  // the caller's end of the child's standard input
    NativeHandle stdoutRead = kInvalidHandle;  // the child's console, for the caller to read
    NativeHandle stdoutWrite = kInvalidHandle; // the child's standard output and standard error
};

// The command line of such a launch: a double quote, the executable, a double quote, one blank, a double
// quote, the argument, a double quote.
std::string quotedCommandLine(const std::string& executable, const std::string& argument);

// Windows: CreatePipe x2, SetHandleInformation, CreateProcessW on quotedCommandLine (converted with the
// system code page), handles inherited. POSIX: posix_spawn of the executable with the argument, stdin
// from one pipe, stdout and stderr into the other.
ConsoleLaunch launchWithConsolePipes(const std::string& executable, const std::string& argument);

// Runs one command with no window and waits for it without a limit; its exit code (preset to 1, so a
// failed query counts as failure), or nothing when it could not be started.
std::optional<unsigned long> runHidden(const std::string& commandLine);

// Command lines for runHidden: exits with 0 when a process of image `imageName` runs (Windows:
// tasklist filtered on the image, piped into find; POSIX: pgrep of the exact name), and ends every
// process of that image (Windows: taskkill /F /IM; POSIX: pkill -KILL of the exact name).
std::string imageCheckCommandLine(const std::string& imageName);
std::string imageKillCommandLine(const std::string& imageName);

} // namespace platform
