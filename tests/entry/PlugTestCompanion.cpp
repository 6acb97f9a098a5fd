// A stand-in companion for the plug-in's end-to-end tests, installed in a sandbox under the companion's
// file name. It behaves as the library expects of the real one: once the command file says
// "AppRunMode" it writes the device configuration report, and it ends when its standard input
// reaches end of file. Steered by the environment:
//   FERROX_PLUG_COMPANION_REPORT=<file>   the report to write (copied from this template)
//   FERROX_PLUG_COMPANION_LOG=<file>      what it saw: "pid=", "argc=", "arg1=", "report", "eof"
#include "companion/Paths.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Sleep.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using QuillmarkPluginDevices::commandFilePath;
using QuillmarkPluginDevices::configurationReportPath;

class Log {
public:
    Log() {
        if (auto path = platform::getEnv("FERROX_PLUG_COMPANION_LOG")) {
            file_.open(*path, std::ios::binary | std::ios::app);
        }
    }
    void line(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_.is_open()) {
            file_ << text << '\n';
            file_.flush();
        }
    }

private:
    std::mutex mutex_;
    std::ofstream file_;
};

// Console messages end with NUL, as the plug-in's relay splits lines there.
void say(const std::string& text) {
    std::fwrite(text.c_str(), 1, text.size() + 1, stdout);
    std::fflush(stdout);
}

bool commandFileSaysRunMode() {
    const auto path = commandFilePath();
    if (!path) {
        return false;
    }
    std::ifstream in(*path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line == "AppRunMode") {
            return true;
        }
    }
    return false;
}

// Written beside the report and renamed over it, so the library never parses half a report.
bool writeReport(const std::string& templatePath) {
    const auto target = configurationReportPath();
    if (!target) {
        return false;
    }
    std::ifstream in(templatePath, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string temporary = *target + ".writing";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content.str();
        if (!out) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, *target, ec);
    if (ec) {
        std::filesystem::remove(*target, ec);
        std::filesystem::rename(temporary, *target, ec);
    }
    return !ec;
}

void reportWhenAsked(const std::atomic<bool>& stop, Log& log) {
    const auto templatePath = platform::getEnv("FERROX_PLUG_COMPANION_REPORT");
    if (!templatePath) {
        return;
    }
    while (!stop.load()) {
        if (commandFileSaysRunMode()) {
            log.line(writeReport(*templatePath) ? "report" : "report failed");
            say("report written");
            return;
        }
        platform::sleepFor(20ms);
    }
}

} // namespace

int main(int argc, char** argv) {
    Log log;
    log.line("pid=" + std::to_string(platform::currentProcessId()));
    log.line("argc=" + std::to_string(argc - 1));
    if (argc > 1) {
        log.line(std::string("arg1=") + argv[1]);
    }
    say("test companion started");

    std::atomic<bool> stop{false};
    std::thread reporter([&] { reportWhenAsked(stop, log); });

    // The library keeps the other end of this pipe for as long as its process lives.
    while (std::fgetc(stdin) != EOF) {
    }
    log.line("eof");
    stop = true;
    reporter.join();
    return 0;
}
