#include "platform/ChildProcess.h"

#include "platform/ChildExit_posix.h"
#include "platform/Sleep.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {
constexpr auto kWaitPollInterval = std::chrono::milliseconds(2);

// Polls with WNOHANG until the child ends or the limit passes: portable, and the child is ours.
std::optional<int> reapWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = saturatingAdd(SteadyClock::now(), limit);
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            return exitCodeOf(status);
        }
        if (result < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (SteadyClock::now() >= deadline) {
            return std::nullopt;
        }
        sleepFor(kWaitPollInterval);
    }
}
} // namespace

std::string exitCodeCommandLine(int code) {
    return "exit " + std::to_string(code);
}

bool terminateProcess(NativeHandle process) {
    if (process <= 0) {
        return false;
    }
    const auto pid = static_cast<pid_t>(process);
    if (::kill(pid, SIGKILL) != 0 && errno != ESRCH) {
        return false;
    }
    reapExitCode(pid);
    return true;
}

std::optional<int> waitForProcess(NativeHandle process, std::chrono::milliseconds limit) {
    if (process <= 0) {
        return std::nullopt;
    }
    return reapWithin(static_cast<pid_t>(process), limit);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    if (isValid(handle_)) {
        return false;
    }
    std::vector<std::string> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : storage) {
        argv.push_back(&text[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    handle_ = pid;
    id_ = pid;
    exitCode_.reset();
    return true;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds limit) {
    if (exitCode_ || !isValid(handle_)) {
        return exitCode_;
    }
    exitCode_ = reapWithin(static_cast<pid_t>(handle_), limit);
    if (exitCode_) {
        handle_ = kInvalidHandle;
    }
    return exitCode_;
}

void ChildProcess::kill() {
    if (!isValid(handle_)) {
        return;
    }
    const auto pid = static_cast<pid_t>(handle_);
    ::kill(pid, SIGKILL);
    exitCode_ = reapExitCode(pid);
    handle_ = kInvalidHandle;
}

long currentProcessId() {
    return static_cast<long>(::getpid());
}

bool processExists(long id) {
    if (id <= 0) {
        return false;
    }
    return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

std::string currentExecutablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return std::string();
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace platform
