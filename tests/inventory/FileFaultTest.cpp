// The configuration report and the state file as the companion or the disk may leave them: huge,
// truncated, in another encoding, unreadable, or replaced while being read.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "inventory/ConfigurationReport.h"
#include "platform/Os.h"
#include "tests/companion/Unprivileged.h"
#include "tests/inventory/Describe.h"
#include "tests/support/Sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

using namespace QuillmarkPluginDevices;
using ferrox_test::Sandbox;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

using ferrox_test::describe;

std::string utf16le(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

class FileFault : public ::testing::Test {
protected:
    std::vector<SensorRecord> readStates() { return controller.readSensorStates(); }

    Sandbox sandbox;
    CompanionController controller;
    std::string reportPath = *configurationReportPath();
    std::string statePath = *sensorStateFilePath();
};

const std::string kReport =
    "Pellions detected: 1\nHardware Name: Station\nBase ID: 4711\nSlot 1 occupied by sensor 12\n";

TEST_F(FileFault, DamagedReports) {
    struct Case {
        const char* name;
        std::string content;
        std::string report;   // describe(): opened|hardware name|identifier|station count|occupied ids
        std::size_t messages; // lines on standard error
    };
    const std::size_t tenMegabytes = std::size_t{10} * 1024 * 1024;
    std::string manyLines = "Pellions detected: 2\nHardware Name: Big\nBase ID: 9\n";
    while (manyLines.size() < tenMegabytes) {
        manyLines += "Slot 1 is free; this line pads the report to a great length, as a runaway log would\n";
    }
    manyLines += "Slot 2 occupied by sensor 3\n";
    const Case cases[] = {
        {"10 MB of lines", manyLines, "1|Big|9|2|3,", 0},
        {"one 10 MB line among good ones",
         "Hardware Name: H\n" + std::string(tenMegabytes, 'x') + "\nID: 5\n", "1|H|5|0|", 1},
        {"a 10 MB line without a line feed", "ID: 5\nHardware Name: " + std::string(tenMegabytes, 'y'),
         "1||5|0|", 1},
        {"truncated within the name", "Pellions detected: 1\nHardware Name: Stat", "1|Stat||1|", 0},
        {"truncated within the identifier", "Hardware Name: H\nBase ID: 47", "1|H|47|0|", 0},
        {"truncated within an occupied line", "Hardware Name: H\nID: 1\nSlot 1 occupied by sen", "1|H|1|0|",
         0},
        {"truncated after a CR LF", "Hardware Name: H\r\nID: 1\r\n", "1|H|1|0|", 0},
        {"UTF-16 LE with a byte-order mark",
         utf16le("Pellions detected: 1\r\nHardware Name: H\r\nBase ID: 9\r\n"), "1|||0|", 0},
        // A stray byte before the digits leaves no identifier rather than a wrong one.
        {"Latin-1 letters are kept as bytes",
         "Hardware Name: Station M\xFCnchen\xA0\nBase ID: \xB2"
         "5\nID: 6\n",
         "1|Station M\xFCnchen\xA0|6|0|", 0},
        {"NUL bytes inside lines",
         std::string("Hardware Name: A\0B\nID: 3\0"
                     "4\n",
                     25),
         std::string("1|A\0B|3|0|", 10), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ferrox_test::writeFile(reportPath, c.content);
        ConfigurationReport report;
        const std::string err =
            ferrox_test::captureOutput([&] { report = readConfigurationReport(reportPath); }).err;
        EXPECT_EQ(describe(report), c.report);
        EXPECT_EQ(static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n')), c.messages) << err;
        if (c.messages > 0) {
            EXPECT_THAT(err, HasSubstr("too long; line ignored"));
        }
        EXPECT_EQ(readReportIdentity(reportPath), std::make_pair(report.hardwareName, report.deviceId));
    }
}

TEST_F(FileFault, DamagedStateFiles) {
    struct Case {
        const char* name;
        std::string content;
        std::size_t sensors;
    };
    std::string many = R"({"Sensors": [)";
    std::size_t count = 0;
    while (many.size() < std::size_t{10} * 1024 * 1024) {
        many += (count ? "," : "") + std::string(R"({"SensorId": )") + std::to_string(count) +
                R"(, "SensorName": "s", "ChannelNames": ["EMG 1", "ACC X 1"]})";
        ++count;
    }
    many += "]}";
    const Case cases[] = {
        {"10 MB of sensors", many, count},
        {"a 10 MB sensor name",
         R"({"Sensors": [{"SensorId": 1, "SensorName": ")" + std::string(std::size_t{10} * 1024 * 1024, 'n') +
             R"("}]})",
         1},
        {"UTF-16 LE with a byte-order mark", utf16le(R"({"Sensors": [{"SensorId": 1}]})"), 0},
        {"a Latin-1 letter in a name", "{\"Sensors\": [{\"SensorId\": 1, \"SensorName\": \"M\xFCnchen\"}]}",
         0},
        {"a Latin-1 byte outside strings", "{\"Sensors\": [{\"SensorId\": 1}]\xA0}", 0},
        {"a NUL byte inside a name",
         std::string("{\"Sensors\": [{\"SensorId\": 1, \"SensorName\": \"a\0b\"}]}", 50), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ferrox_test::writeFile(statePath, c.content);
        std::vector<SensorRecord> sensors;
        EXPECT_NO_THROW(sensors = readStates());
        EXPECT_EQ(sensors.size(), c.sensors);
    }
    ferrox_test::writeFile(statePath, many);
    const auto sensors = readStates();
    ASSERT_EQ(sensors.size(), count);
    EXPECT_EQ(sensors.back().SensorId, static_cast<int32_t>(count - 1));
    EXPECT_EQ(sensors.back().ChannelNames, (std::vector<std::string>{"EMG 1", "ACC X 1"}));
}

// Every strict prefix of a valid state file is an incomplete document: no sensors, never a crash.
TEST_F(FileFault, StateFileTruncatedAnywhereGivesNoSensors) {
    const std::string document =
        R"({"Sensors": [{"SensorId": 1, "SensorName": "Biceps", "ChannelNames": ["EMG 1",)"
        R"( "ACC X 1"], "IsQuarantined": false, "SlotNumber": 2.5e0}, {"SensorId": 2}]})";
    ferrox_test::writeFile(statePath, document);
    ASSERT_EQ(readStates().size(), 2u);
    for (std::size_t length = 0; length < document.size(); ++length) {
        SCOPED_TRACE(document.substr(0, length));
        ferrox_test::writeFile(statePath, document.substr(0, length));
        EXPECT_TRUE(readStates().empty());
    }
}

TEST_F(FileFault, AFolderInTheFilesPlaceReadsAsNothing) {
    fs::create_directories(reportPath + "/inside");
    fs::create_directories(statePath + "/inside");
    const ConfigurationReport report = readConfigurationReport(reportPath);
    EXPECT_TRUE(report.hardwareName.empty() && report.deviceId.empty() && report.occupiedSensorIds.empty());
    EXPECT_EQ(report.stationCount, 0);
    EXPECT_EQ(readReportIdentity(reportPath), std::make_pair(std::string(), std::string()));
    EXPECT_FALSE(waitForConfigurationReport(reportPath, std::chrono::milliseconds(0)));
    EXPECT_TRUE(readStates().empty());
}

TEST_F(FileFault, UnreadableFilesReadAsMissing) {
    if (platform::kIsWindows) {
        GTEST_SKIP() << "unreadable files are modelled with POSIX permissions";
    }
    // The unprivileged reader must reach the files, and the build tree may lie below a folder that only
    // its owner can enter (a clone in a private temporary folder, as CI makes). So these files live in
    // a folder of their own under /tmp that anyone may enter.
    const ferrox_test::ReachableFolder folder;
    const ferrox_test::ScopedEnv appData("APPDATA", (folder.path / "AppData").string());
    const std::string reachableReport = (folder.path / "DeviceConfiguration.txt").string();
    const std::string reachableState = sensorStateFilePath().value();
    folder.create(fs::path(reachableState).parent_path());
    ferrox_test::writeFile(reachableReport, kReport);
    ferrox_test::writeFile(reachableState, R"({"Sensors": [{"SensorId": 1}]})");
    const auto readableByAll =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(reachableReport, readableByAll);
    fs::permissions(reachableState, readableByAll);
    const auto readBoth = [&] {
        return describe(readConfigurationReport(reachableReport)) + "#" +
               readReportIdentity(reachableReport).second + "#" +
               std::to_string(waitForConfigurationReport(reachableReport, std::chrono::milliseconds(0))) +
               "#" + describe(readStates());
    };
    // The unprivileged reader must be able to read the files while they are readable, or the check says
    // nothing about permissions.
    const auto readable = ferrox_test::runUnprivileged(readBoth);
    ASSERT_TRUE(readable.has_value());
    ASSERT_EQ(readable->result, "1|Station|4711|1|12,#4711#1#1:[]");

    fs::permissions(reachableReport, fs::perms::none);
    fs::permissions(reachableState, fs::perms::none);
    const auto unreadable = ferrox_test::runUnprivileged(readBoth);
    fs::permissions(reachableReport, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(reachableState, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(unreadable.has_value());
    EXPECT_EQ(unreadable->result, "0|||0|##0#");
    EXPECT_EQ(unreadable->err, "");
}

// A writer swaps whole versions in by rename while the reader reads again and again: each read gives
// one version's result, never a mixture.
TEST_F(FileFault, FilesReplacedWhileBeingReadGiveOneVersionEach) {
    std::string longReport = "Pellions detected: 2\nHardware Name: Long\nBase ID: 2\n";
    for (int i = 0; i < 3000; ++i) {
        longReport += "Slot " + std::to_string(i) + " occupied by sensor 7\n";
    }
    std::string longState = R"({"Sensors": [)";
    for (int i = 0; i < 2000; ++i) {
        longState += (i ? "," : "") + std::string(R"({"SensorId": 7, "SensorName": "long"})");
    }
    longState += "]}";
    const std::string reports[] = {kReport, longReport};
    const std::string states[] = {R"({"Sensors": [{"SensorId": 1, "SensorName": "short"}]})", longState};

    std::set<std::string> reportResults;
    std::set<std::string> stateResults;
    for (int v = 0; v < 2; ++v) {
        ferrox_test::writeFile(reportPath, reports[v]);
        ferrox_test::writeFile(statePath, states[v]);
        reportResults.insert(describe(readConfigurationReport(reportPath)));
        stateResults.insert(describe(readStates()));
    }
    ASSERT_EQ(reportResults.size(), 2u);
    ASSERT_EQ(stateResults.size(), 2u);
    if (platform::kIsWindows) {
        // A replacing rename there briefly leaves the name without a file that can be opened; a read
        // that falls into that moment sees a missing file, which is a whole answer too.
        reportResults.insert(describe(readConfigurationReport(reportPath + ".absent")));
        stateResults.insert(describe(std::vector<SensorRecord>{}));
    }

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread writer([&] {
        for (int v = 0; !stop.load(); v = 1 - v) {
            ferrox_test::writeFile(reportPath + ".new", reports[v]);
            ferrox_test::writeFile(statePath + ".new", states[v]);
            std::error_code ec;
            // Windows refuses to replace a file that is open; that swap is simply skipped.
            fs::rename(reportPath + ".new", reportPath, ec);
            fs::rename(statePath + ".new", statePath, ec);
            ++swaps;
        }
    });
    int mixed = 0;
    for (int read = 0; read < 150; ++read) {
        mixed += reportResults.count(describe(readConfigurationReport(reportPath))) == 0;
        mixed += stateResults.count(describe(readStates())) == 0;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(swaps.load(), 10);
}

} // namespace
