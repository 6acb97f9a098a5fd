#include "tests/companion/Unprivileged.h"

#include "platform/Pipe.h"

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

UnprivilegedOutcome runHere(const std::function<std::string()>& body) {
    UnprivilegedOutcome outcome;
    testing::internal::CaptureStderr();
    outcome.result = body();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

// The child's message until end of file; false when it stays silent past the limit.
bool readAll(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kChildLimitMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        const ssize_t n = ready > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || n <= 0) {
            return ready > 0 && n == 0;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
}
} // namespace

std::optional<UnprivilegedOutcome> runUnprivileged(const std::function<std::string()>& body) {
    if (::geteuid() != 0) {
        return runHere(body);
    }
    int channel[2];
    if (::pipe(channel) != 0) {
        return std::nullopt;
    }
    // Whatever this process still buffers would otherwise be written twice, once by the child.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(90);
        }
        // The outcome goes back as the result's length, a newline, the result and the standard error.
        std::string message;
        try {
            const UnprivilegedOutcome outcome = runHere(body);
            message = std::to_string(outcome.result.size()) + "\n" + outcome.result + outcome.err;
        } catch (...) {
            ::_exit(91);
        }
        std::fflush(nullptr);
        ::_exit(platform::writeAll(channel[1], message.data(), message.size()) ? 0 : 92);
    }
    ::close(channel[1]);
    std::string message;
    const bool finished = child > 0 && readAll(channel[0], message);
    ::close(channel[0]);
    if (child < 0) {
        return std::nullopt;
    }
    if (!finished) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const std::size_t newline = message.find('\n');
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || newline == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t size = std::stoul(message.substr(0, newline));
    return UnprivilegedOutcome{message.substr(newline + 1, size), message.substr(newline + 1 + size)};
}

} // namespace ferrox_test
