#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ferrox_test {

// What a body run by runUnprivileged returned and wrote to standard error.
struct UnprivilegedOutcome {
    std::string result;
    std::string err;
};

// File permissions mean nothing to root, and CI runs the tests as root. So when this process is root the
// body runs in a forked child that has dropped to uid and gid 65534 first; otherwise it runs here. Keep
// what the body writes to standard error small (a pipe's worth). Nothing when no child could be run, or
// on Windows, where permissions are not modelled by these tests.
std::optional<UnprivilegedOutcome> runUnprivileged(const std::function<std::string()>& body);

} // namespace ferrox_test
