#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ferrox_test {

// Sets or clears one environment variable for a scope and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value); // null value: unset
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// Several variables set for a scope, each restored afterwards.
class ScopedEnvs {
public:
    using Variables = std::vector<std::pair<std::string, std::string>>;
    explicit ScopedEnvs(const Variables& variables);

private:
    std::vector<std::unique_ptr<ScopedEnv>> set_;
};

// A private folder tree for one test: ProgramData, PROGRAMFILES and APPDATA point into it while the
// sandbox lives and are restored afterwards. The folder of the command file and the report exists, as
// the installed base software leaves it; the library's file paths are those of companion/Paths.h under
// these variables. The tree is removed at the end.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    std::string programData() const { return root_ + "/ProgramData"; }
    std::string programFiles() const { return root_ + "/ProgramFiles"; }
    std::string appData() const { return root_ + "/AppData"; }

private:
    std::string root_;
    ScopedEnvs env_;
};

// Makes `folder` the working directory for a scope (so that a stray relative path, such as a file a
// hostile command would create, lands where the test looks) and restores the previous one afterwards.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& folder);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string previous_;
};

// The whole content of a file ("" when missing), and whether it exists. writeFile makes missing folders.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A CSV file as rows of fields (no quoting: the files the tools write for tests need none).
std::vector<std::vector<std::string>> readCsv(const std::string& path);

// A file built into the same folder as the running test executable.
std::string besideExecutable(const std::string& fileName);

// True once `condition` holds, polling every few milliseconds for at most `limit`.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// What a call wrote to standard output and standard error.
struct Output {
    std::string out;
    std::string err;
};
template <typename F> Output captureOutput(F&& body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    Output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

// Wall time of one call on the monotonic clock.
template <typename F> std::chrono::milliseconds timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace ferrox_test
