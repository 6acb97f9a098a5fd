#include "tests/support/Sandbox.h"

#include "companion/Paths.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace ferrox_test {

namespace {
std::string newSandboxRoot() {
    // ctest points FERROX_TEST_TMP into the build tree; by hand the system's temporary folder serves.
    static std::atomic<unsigned> counter{0};
    const std::string base = platform::getEnv("FERROX_TEST_TMP").value_or(fs::temp_directory_path().string());
    return base + "/sandbox-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
           "-" + std::to_string(counter++);
}
} // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name), saved_(platform::getEnv(name)) {
    if (value) {
        platform::setEnv(name, value);
    } else {
        platform::unsetEnv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        platform::setEnv(name_.c_str(), saved_->c_str());
    } else {
        platform::unsetEnv(name_.c_str());
    }
}

ScopedEnvs::ScopedEnvs(const Variables& variables) {
    for (const auto& [name, value] : variables) {
        set_.push_back(std::make_unique<ScopedEnv>(name.c_str(), value));
    }
}

Sandbox::Sandbox()
    : root_(newSandboxRoot()),
      env_({{"ProgramData", programData()}, {"PROGRAMFILES", programFiles()}, {"APPDATA", appData()}}) {
    fs::create_directories(programFiles());
    fs::create_directories(appData());
    fs::create_directories(fs::path(*QuillmarkPluginDevices::commandFilePath()).parent_path());
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& folder)
    : previous_(fs::current_path().string()) {
    fs::current_path(folder);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::vector<std::vector<std::string>> readCsv(const std::string& path) {
    std::istringstream in(readFile(path));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; std::getline(fields, field, ',');) {
            rows.back().push_back(field);
        }
    }
    return rows;
}

std::string besideExecutable(const std::string& fileName) {
    return (fs::path(platform::currentExecutablePath()).parent_path() / fileName).string();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

} // namespace ferrox_test
