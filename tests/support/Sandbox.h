#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ferrox_test {

// A private folder tree for one test: ProgramData, PROGRAMFILES and APPDATA point into it while the
// sandbox lives and are restored afterwards. The tree is removed at the end.
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

    // The folders the library's files live in, created on demand.
    std::string companionDataDir(bool create = true) const;    // ProgramData/Quillmark/QuillmarkFerrox
    std::string companionProgramDir(bool create = true) const; // PROGRAMFILES/.../Lunoxa
    std::string stateFileDir(bool create = true) const; // APPDATA/Ferrox, Inc/Sablet Discover/BaseMemory

private:
    std::string root_;
    struct Saved;
    Saved* saved_;
};

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

// The whole content of a file ("" when missing), and whether it exists.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A CSV file as rows of fields (no quoting: the files the tools write for tests need none).
std::vector<std::vector<std::string>> readCsv(const std::string& path);

// True once `condition` holds, polling every few milliseconds for at most `limit`.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

} // namespace ferrox_test
