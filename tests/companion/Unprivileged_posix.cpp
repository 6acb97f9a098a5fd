#include "tests/companion/Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ferrox_test {

namespace {
constexpr uid_t kNobody = 65534;
constexpr int kChildLimitMs = 60000;

void writeAllTo(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Everything until end of file; false when the child stays silent past the limit.
bool readAllFrom(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kChildLimitMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

[[noreturn]] void childMain(const std::function<std::string()>& body, int resultFd, int errFd) {
    if (::dup2(errFd, STDERR_FILENO) < 0 || ::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 ||
        ::setuid(kNobody) != 0) {
        ::_exit(90);
    }
    std::string result;
    try {
        result = body();
    } catch (...) {
        ::_exit(91);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    writeAllTo(resultFd, result);
    ::_exit(0);
}
} // namespace

std::optional<UnprivilegedOutcome> runUnprivileged(const std::function<std::string()>& body) {
    if (::geteuid() != 0) {
        UnprivilegedOutcome outcome;
        testing::internal::CaptureStderr();
        outcome.result = body();
        outcome.err = testing::internal::GetCapturedStderr();
        return outcome;
    }
    int resultPipe[2];
    int errPipe[2];
    if (::pipe(resultPipe) != 0) {
        return std::nullopt;
    }
    if (::pipe(errPipe) != 0) {
        ::close(resultPipe[0]);
        ::close(resultPipe[1]);
        return std::nullopt;
    }
    // Whatever this process still buffers would otherwise be written twice, once by the child.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(resultPipe[0]);
        ::close(errPipe[0]);
        childMain(body, resultPipe[1], errPipe[1]);
    }
    ::close(resultPipe[1]);
    ::close(errPipe[1]);
    if (child < 0) {
        ::close(resultPipe[0]);
        ::close(errPipe[0]);
        return std::nullopt;
    }
    UnprivilegedOutcome outcome;
    // The child writes its standard error before its result, and at most a pipe's worth of it, so
    // reading the result first cannot leave it blocked.
    const bool finished = readAllFrom(resultPipe[0], outcome.result) && readAllFrom(errPipe[0], outcome.err);
    ::close(resultPipe[0]);
    ::close(errPipe[0]);
    if (!finished) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return outcome;
}

} // namespace ferrox_test
