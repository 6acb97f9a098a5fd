#include "platform/Process.h"

#include "platform/Pipe.h"
#include "platform/Sleep.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {
constexpr auto kWaitPollInterval = std::chrono::milliseconds(2);

void closeFd(NativeHandle& fd) {
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
    }
    fd = kInvalidHandle;
}

// The exit code as Windows would give it: a normal exit's status, or stays at the preset otherwise.
void takeExitCode(int status, int& code) {
    if (WIFEXITED(status)) {
        code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        code = 128 + WTERMSIG(status);
    }
}

// waitpid without a limit, retried when a signal interrupts it.
bool reap(pid_t pid, int& status) {
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Polls with WNOHANG until the child ends or the limit passes: portable, and the child is ours.
std::optional<int> reapWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = saturatingAdd(SteadyClock::now(), limit);
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            int code = 1;
            takeExitCode(status, code);
            return code;
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

// posix_spawn's resources, released on every way out.
struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    bool ready = false;
    SpawnActions() { ready = ::posix_spawn_file_actions_init(&actions) == 0; }
    ~SpawnActions() {
        if (ready) {
            ::posix_spawn_file_actions_destroy(&actions);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};
} // namespace

ConsoleLaunch launchWithConsolePipes(const std::string& executable, const std::string& argument) {
    ConsoleLaunch launch;
    // Close-on-exec everywhere: the child gets its copies through dup2 (which clears the flag on the
    // new descriptor), and no later child of this process inherits any end.
    if (!createPipe(launch.stdoutRead, launch.stdoutWrite) ||
        !createPipe(launch.stdinRead, launch.stdinWrite)) {
        launch.error = static_cast<unsigned long>(errno);
        closeFd(launch.stdoutRead);
        closeFd(launch.stdoutWrite);
        closeFd(launch.stdinRead);
        closeFd(launch.stdinWrite);
        return launch;
    }

    SpawnActions spawn;
    int rc = spawn.ready ? 0 : ENOMEM;
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&spawn.actions, static_cast<int>(launch.stdinRead),
                                                STDIN_FILENO);
    }
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&spawn.actions, static_cast<int>(launch.stdoutWrite),
                                                STDOUT_FILENO);
    }
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_adddup2(&spawn.actions, static_cast<int>(launch.stdoutWrite),
                                                STDERR_FILENO);
    }
    pid_t pid = -1;
    if (rc == 0) {
        std::string program = executable;
        std::string pipeName = argument;
        char* argv[] = {&program[0], &pipeName[0], nullptr};
        rc = ::posix_spawn(&pid, executable.c_str(), &spawn.actions, nullptr, argv, environ);
    }
    if (rc != 0) {
        launch.error = static_cast<unsigned long>(rc);
        closeFd(launch.stdoutRead);
        closeFd(launch.stdoutWrite);
        closeFd(launch.stdinRead);
        closeFd(launch.stdinWrite);
        return launch;
    }
    launch.started = true;
    launch.process = pid;
    return launch;
}

std::optional<unsigned long> runHidden(const std::string& commandLine) {
    // No window here means no terminal either: the command's streams go nowhere, as a process with a
    // hidden console of its own would have them on Windows.
    SpawnActions spawn;
    if (!spawn.ready) {
        return std::nullopt;
    }
    if (::posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) != 0) {
        return std::nullopt;
    }
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string command = commandLine;
    char* argv[] = {&shell[0], &dashC[0], &command[0], nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sh", &spawn.actions, nullptr, argv, environ) != 0) {
        return std::nullopt;
    }
    int exitCode = 1;
    int status = 0;
    if (reap(pid, status)) {
        takeExitCode(status, exitCode);
    }
    return static_cast<unsigned long>(exitCode);
}

const char* companionCheckCommandLine() {
    return "pgrep -x SabletBase.exe";
}
const char* companionKillCommandLine() {
    return "pkill -KILL -x SabletBase.exe";
}

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
    int status = 0;
    reap(pid, status);
    return true;
}

std::optional<int> waitForProcess(NativeHandle process, std::chrono::milliseconds limit) {
    if (process <= 0) {
        return std::nullopt;
    }
    return reapWithin(static_cast<pid_t>(process), limit);
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

bool ChildProcess::running() {
    return isValid(handle_) && !waitFor(std::chrono::milliseconds(0));
}

void ChildProcess::kill() {
    if (!isValid(handle_)) {
        return;
    }
    const auto pid = static_cast<pid_t>(handle_);
    ::kill(pid, SIGKILL);
    int status = 0;
    int code = 1;
    if (reap(pid, status)) {
        takeExitCode(status, code);
    }
    exitCode_ = code;
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
