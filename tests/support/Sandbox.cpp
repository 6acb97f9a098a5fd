#include "tests/support/Sandbox.h"

#include "platform/Environment.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace ferrox_test {

namespace {
const char* const kVariables[] = {"ProgramData", "PROGRAMFILES", "APPDATA"};

std::string sandboxBase() {
    // ctest points FERROX_TEST_TMP into the build tree; by hand the system's temporary folder serves.
    if (auto base = platform::getEnv("FERROX_TEST_TMP")) {
        return *base;
    }
    return fs::temp_directory_path().string();
}

std::string makeDir(const std::string& path, bool create) {
    if (create) {
        std::error_code ec;
        fs::create_directories(path, ec);
    }
    return path;
}
} // namespace

struct Sandbox::Saved {
    std::optional<std::string> values[3];
};

Sandbox::Sandbox() : saved_(new Saved) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::ostringstream name;
    name << sandboxBase() << "/sandbox-" << stamp << "-" << counter++;
    root_ = name.str();
    fs::create_directories(programData());
    fs::create_directories(programFiles());
    fs::create_directories(appData());
    for (int i = 0; i < 3; ++i) {
        saved_->values[i] = platform::getEnv(kVariables[i]);
    }
    platform::setEnv("ProgramData", programData().c_str());
    platform::setEnv("PROGRAMFILES", programFiles().c_str());
    platform::setEnv("APPDATA", appData().c_str());
}

Sandbox::~Sandbox() {
    for (int i = 0; i < 3; ++i) {
        if (saved_->values[i]) {
            platform::setEnv(kVariables[i], saved_->values[i]->c_str());
        } else {
            platform::unsetEnv(kVariables[i]);
        }
    }
    delete saved_;
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string Sandbox::companionDataDir(bool create) const {
    return makeDir(programData() + "/Quillmark/QuillmarkFerrox", create);
}
std::string Sandbox::companionProgramDir(bool create) const {
    return makeDir(programFiles() + "/Quillmark/Harbex/LunoxaFerrox/Lunoxa", create);
}
std::string Sandbox::stateFileDir(bool create) const {
    return makeDir(appData() + "/Ferrox, Inc/Sablet Discover/BaseMemory", create);
}

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

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& folder)
    : previous_(std::filesystem::current_path().string()) {
    std::filesystem::current_path(folder);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::vector<std::string>> readCsv(const std::string& path) {
    std::istringstream in(readFile(path));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream fieldStream(line);
        for (std::string field; std::getline(fieldStream, field, ',');) {
            fields.push_back(field);
        }
        rows.push_back(fields);
    }
    return rows;
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
