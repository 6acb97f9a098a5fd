#include "platform/Process.h"

#include "platform/ChildExit_posix.h"
#include "platform/Pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {
void closeFd(NativeHandle& fd) {
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
    }
    fd = kInvalidHandle;
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
    return static_cast<unsigned long>(reapExitCode(pid));
}

std::string imageCheckCommandLine(const std::string& imageName) {
    return "pgrep -x " + imageName;
}
std::string imageKillCommandLine(const std::string& imageName) {
    return "pkill -KILL -x " + imageName;
}

} // namespace platform
