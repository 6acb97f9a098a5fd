// ferrox-host --check, run as a lab engineer runs it, against a sandbox set up right and against one
// broken set-up per row: the row's line is WARN or FAIL, says what to do, and the exit code follows.
// The folders are passed with --program-data, --program-files and --app-data, as under Wine a new
// process takes those variables from the registry rather than from the test.
#include "companion/Paths.h"
#include "platform/ChildProcess.h"
#include "platform/Handle.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "tests/support/Companion.h"
#include "tests/support/Sandbox.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;

const char* const kState = R"({"Sensors": [
    {"SensorId": 21, "SensorName": "Left", "ChannelNames": ["EMG 1", "ACC X 1", "IMP 1"]},
    {"SensorId": 22, "SensorName": "Spare", "ChannelNames": ["EMG 1"]},
    {"SensorId": 23, "SensorName": "Right", "ChannelNames": ["EMG 1", "GYR Z 1"]}]})";
const char* const kReport = "Pellions detected: 1\nHardware Name: SB Check\nBase ID: 4242\n"
                            "Slot 1 occupied by sensor 21\nSlot 2 occupied by sensor 23\n";

// A companion that stays up until the test ends it by its process id (it ends when its input closes).
class RunningCompanion {
public:
    explicit RunningCompanion(const std::string& program)
        : launch_(platform::launchWithConsolePipes(program, QuillmarkPluginDevices::kCompanionPipeName)) {}
    ~RunningCompanion() {
        if (launch_.started) {
            platform::terminateProcess(launch_.process);
        }
        for (platform::NativeHandle end :
             {launch_.stdinRead, launch_.stdinWrite, launch_.stdoutRead, launch_.stdoutWrite}) {
            platform::closeHandle(end);
        }
    }
    RunningCompanion(const RunningCompanion&) = delete;
    RunningCompanion& operator=(const RunningCompanion&) = delete;
    bool started() const { return launch_.started; }

private:
    platform::ConsoleLaunch launch_;
};

// One sandbox set up right: companion in place (never started by the check), command folder, state
// file, report, a free port and the built plug-in. A row breaks one part of it.
struct CheckSandbox {
    ferrox_test::Sandbox sandbox;
    std::string programData = sandbox.programData();
    std::string programFiles = sandbox.programFiles();
    std::string appData = sandbox.appData();
    std::string plugin = ferrox_test::besideExecutable(FERROX_PLUGIN_FILE);
    std::string companion =
        ferrox_test::installAsCompanion(ferrox_test::besideExecutable(FERROX_SIMULATOR_FILE));
    std::unique_ptr<RunningCompanion> runningCompanion;
    boost::asio::io_context io;
    std::optional<boost::asio::ip::tcp::acceptor> portHolder;

    CheckSandbox() {
        ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), kState);
        ferrox_test::writeFile(*QuillmarkPluginDevices::configurationReportPath(), kReport);
    }
};

struct BrokenSetUp {
    const char* name;
    std::function<void(CheckSandbox&)> breakIt; // empty: the set-up stays right
    const char* subject;
    const char* level;
    const char* finding; // a part of the line's finding
};

const BrokenSetUp kSetUps[] = {
    {"SetUpRight", nullptr, "state file", "OK",
     "the factory makes 4 channels: EMG 1 Sensor 0, ACC X 1 Sensor 0, EMG 1 Sensor 2, GYR Z 1 Sensor 2"},
    // The plug-in's version resource tells that it was built against our host model, not for the host.
    {"PluginOnTheHostModel", nullptr, "plug-in", "OK", "built against FerroxEMG's host model"},
    {"AppDataNotAFolder", [](CheckSandbox& s) { s.appData = s.sandbox.root() + "/no-such-folder"; },
     "APPDATA", "FAIL", "is not a folder"},
    {"CompanionMissing", [](CheckSandbox& s) { fs::remove(s.companion); }, "companion", "FAIL",
     "not found at"},
    {"CompanionAlreadyRunning",
     [](CheckSandbox& s) {
         s.runningCompanion = std::make_unique<RunningCompanion>(s.companion);
         ASSERT_TRUE(s.runningCompanion->started());
     },
     "companion running", "WARN", "is running"},
    {"CommandFolderMissing",
     [](CheckSandbox&) {
         fs::remove_all(fs::path(*QuillmarkPluginDevices::commandFilePath()).parent_path());
     },
     "command folder", "FAIL", "does not exist"},
    {"StateFileDamaged",
     [](CheckSandbox&) {
         ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), R"({"Sensors": [)");
     },
     "state file", "FAIL", "cannot be used"},
    {"ReportAbsent", [](CheckSandbox&) { fs::remove(*QuillmarkPluginDevices::configurationReportPath()); },
     "configuration report", "WARN", "absent"},
    {"ReportCountsNoStation",
     [](CheckSandbox&) {
         ferrox_test::writeFile(*QuillmarkPluginDevices::configurationReportPath(),
                                "Hardware Name: H\nBase ID: 1\n");
     },
     "configuration report", "FAIL", "counts no base station"},
    {"PortHeld",
     [](CheckSandbox& s) {
         s.portHolder.emplace(s.io,
                              boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 35692));
     },
     "port 35692 on 0.0.0.0", "FAIL", "held by"},
    {"PluginMissing", [](CheckSandbox& s) { s.plugin = s.sandbox.root() + "/FerroxEMG-missing"; }, "plug-in",
     "FAIL", "does not load"},
};

// The row's name rather than its bytes in test names and messages.
void PrintTo(const BrokenSetUp& row, std::ostream* out) {
    *out << row.name;
}

class Check : public ::testing::TestWithParam<BrokenSetUp> {};

TEST_P(Check, TheBrokenItemSaysWhatToDoAndTheExitCodeFollows) {
    const BrokenSetUp& row = GetParam();
    if (platform::kIsWindows && std::string(row.subject) == "companion running") {
        GTEST_SKIP() << "Wine's tasklist is a stub: a running companion cannot be told from none";
    }
    CheckSandbox setup;
    if (row.breakIt) {
        row.breakIt(setup);
        if (HasFatalFailure()) {
            return;
        }
    }
    const std::string summary = setup.sandbox.root() + "/check.json";
    platform::ChildProcess host;
    ASSERT_TRUE(host.start(ferrox_test::besideExecutable(FERROX_HOST_FILE),
                           {"--check", "--plugin", setup.plugin, "--program-data", setup.programData,
                            "--program-files", setup.programFiles, "--app-data", setup.appData, "--summary",
                            summary}));
    const std::optional<int> code = host.waitFor(120s);
    ASSERT_TRUE(code.has_value()) << "ferrox-host --check still runs after 120 s";

    const json result = json::parse(ferrox_test::readFile(summary), nullptr, false);
    ASSERT_TRUE(result.is_object()) << ferrox_test::readFile(summary);
    std::vector<std::string> subjects;
    bool anyFail = false;
    for (const json& item : result["items"]) {
        const std::string subject = item["subject"].get<std::string>();
        const std::string level = item["level"].get<std::string>();
        const std::string line = item["line"].get<std::string>();
        subjects.push_back(subject);
        anyFail = anyFail || level == "FAIL";
        if (level != "OK") {
            EXPECT_THAT(line, HasSubstr(". To do: ")) << "a WARN or FAIL says what to do";
            EXPECT_FALSE(item["action"].get<std::string>().empty()) << line;
        }
        if (subject == row.subject) {
            EXPECT_EQ(level, row.level) << line;
            EXPECT_THAT(item["finding"].get<std::string>(), HasSubstr(row.finding)) << line;
        } else if (!row.breakIt && subject != "companion running") {
            // Whether a process of the companion's name runs is the machine's (and Wine cannot tell).
            EXPECT_EQ(level, "OK") << line;
        }
        if (setup.portHolder && subject == row.subject) {
            // Linux tells who holds the port: this test. Wine's socket table gives every owner as process 0.
            const std::string thisProcess = "(process " + std::to_string(platform::currentProcessId()) + ")";
            if (platform::kIsWindows && line.find(thisProcess) == std::string::npos) {
                EXPECT_THAT(line, HasSubstr("(unknown)"));
            } else {
                EXPECT_THAT(line, HasSubstr(thisProcess));
            }
        }
    }
    EXPECT_EQ(subjects,
              (std::vector<std::string>{"ProgramData", "PROGRAMFILES", "APPDATA", "companion",
                                        "companion running", "command folder", "state file",
                                        "configuration report", "port 35692 on 0.0.0.0", "plug-in"}));
    EXPECT_EQ(*code, anyFail ? 6 : 0);
    EXPECT_EQ(*code, std::string(row.level) == "FAIL" ? 6 : 0);
}

INSTANTIATE_TEST_SUITE_P(SetUps, Check, ::testing::ValuesIn(kSetUps),
                         [](const ::testing::TestParamInfo<BrokenSetUp>& param) { return param.param.name; });

} // namespace
