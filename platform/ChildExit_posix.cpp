#include "platform/ChildExit_posix.h"

#include <cerrno>
#include <sys/wait.h>

namespace platform {

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

int reapExitCode(pid_t pid) {
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid) {
            return exitCodeOf(status);
        }
        if (errno != EINTR) {
            return 1;
        }
    }
}

} // namespace platform
