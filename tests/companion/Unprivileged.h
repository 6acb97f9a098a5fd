#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
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

// The unprivileged child must be able to reach the files it is tested on, and the build tree may lie
// below a folder that only its owner can enter (a clone in a private temporary folder, as CI makes).
// A folder below /tmp that every user may enter and read, removed with everything in it at the end.
struct ReachableFolder {
    ReachableFolder() {
        std::random_device seed;
        path = std::filesystem::path("/tmp") /
               ("ferrox-reachable-" + std::to_string(seed()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        create(path);
    }
    ~ReachableFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ReachableFolder(const ReachableFolder&) = delete;
    ReachableFolder& operator=(const ReachableFolder&) = delete;

    // Creates `folder` and every missing folder above it, each open to all whatever the umask.
    void create(const std::filesystem::path& folder) const {
        if (std::filesystem::exists(folder)) {
            return;
        }
        create(folder.parent_path());
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(
            folder, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
    }

    std::filesystem::path path;
};

} // namespace ferrox_test
