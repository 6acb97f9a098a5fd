#include "inventory/ConfigurationReport.h"

#include "companion/Paths.h"

#include "tests/inventory/Describe.h"
#include "tests/support/Sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace QuillmarkPluginDevices;
using ferrox_test::Sandbox;
using ::testing::HasSubstr;

namespace {

class ConfigurationReportTest : public ::testing::Test {
protected:
    std::string write(const std::string& content) {
        ferrox_test::writeFile(path, content);
        return path;
    }

    Sandbox sandbox;
    std::string path = *configurationReportPath();
};

TEST_F(ConfigurationReportTest, TwoPassParse) {
    const std::string longName(kLongestReportLine - 15, 'n'); // "Hardware Name: " + name = the longest line
    struct Case {
        const char* name;
        std::string content;
        std::string report; // describe(): opened|hardware name|identifier|station count|occupied ids
    };
    const Case cases[] = {
        {"count after the identifier line is not seen",
         "Hardware Name: Station A\nDevice ID: 4711\nPellions detected: 2\n"
         "Slot 1 occupied by sensor 12\nSlot 2 occupied by sensor 13\n",
         "1|Station A|4711|0|12,13,"},
        {"count before the identifier line is seen",
         "Pellions detected: 2\nHardware Name: Station A\nDevice ID: 4711\nSlot 1 occupied by sensor 12\n",
         "1|Station A|4711|2|12,"},
        {"occupied lines before the identifier line are not collected",
         "occupied by sensor 5\nHardware Name: H\noccupied by sensor 6\nID: 1\noccupied by sensor 7\n",
         "1|H|1|0|7,"},
        {"name and identifier on one line end the first pass there",
         "Pellions detected: 1\nHardware Name: H Device ID: 9 Pellions detected: 3\nPellions detected: 4\n"
         "occupied by sensor 2\n",
         "1|H Device ID: 9 Pellions detected: 3|9|3|2,"},
        {"without a name the first pass reads everything",
         "Device ID: 5\nPellions detected: 2\noccupied by sensor 4\nPellions detected: 3\n", "1||5|3|"},
        {"an empty name is not found; a later one is", "Hardware Name:\nHardware Name:   Real One\nID: 8\n",
         "1|Real One|8|0|"},
        {"first identifier wins, with or without a word before ID:",
         "Base ID: 11\nID: 22\nHardware Name: H\noccupied by sensor 1\n", "1|H|11|0|1,"},
        {"identifier at the start of the line", "ID:42\nHardware Name: H\n", "1|H|42|0|"},
        {"the later of two counts wins",
         "Pellions detected: 2\nPellions detected: 3\nHardware Name: H\nID: 1\n", "1|H|1|3|"},
        {"count 10 stops at the 0", "Pellions detected: 10\nHardware Name: H\nID: 1\n", "1|H|1|1|"},
        {"count 0 does not match and leaves the count",
         "Pellions detected: 2\nPellions detected: 0\nHardware Name: H\nID: 1\n", "1|H|1|2|"},
        {"two spaces before the count do not match", "Pellions detected:  2\nHardware Name: H\nID: 1\n",
         "1|H|1|0|"},
        {"duplicates and leading zeros",
         "Hardware Name: H\nID: 1\noccupied by sensor 3\noccupied by sensor  003\n", "1|H|1|0|3,3,"},
        {"CR before LF is not part of the line; a last line needs no LF",
         "Hardware Name: H\r\nID: 1\r\noccupied by sensor 6\r\noccupied by sensor 7", "1|H|1|0|6,7,"},
        {"numbers beyond 32 bits: that line only is skipped",
         "Pellions detected: 2\nPellions detected: 99999999999\nHardware Name: H\nID: 99999999999\n"
         "occupied by sensor 2147483648\noccupied by sensor 2147483647\n",
         "1|H|99999999999|2|2147483647,"},
        {"a line longer than the limit is skipped, one at the limit is read",
         "Hardware Name: " + std::string(100000, 'x') + "\nHardware Name: " + longName + "\nID: 1\n" +
             "occupied by sensor " + std::string(100000, '7') + "\noccupied by sensor 5\n",
         "1|" + longName + "|1|0|5,"},
        {"no known line at all", "hello\n\n\nworld\n", "1|||0|"},
        {"empty report", "", "1|||0|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = readConfigurationReport(write(c.content));
        EXPECT_EQ(ferrox_test::describe(report), c.report);
        EXPECT_EQ(readReportIdentity(path), std::make_pair(report.hardwareName, report.deviceId));
    }
}

TEST_F(ConfigurationReportTest, SkippedLinesAreNamedOnStandardError) {
    write("Pellions detected: 99999999999\n" + std::string(2000, 'z') + "\nHardware Name: H\nID: 1\n");
    ::testing::internal::CaptureStderr();
    const auto report = readConfigurationReport(path);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.stationCount, 0);
    EXPECT_THAT(err, HasSubstr("99999999999"));
    EXPECT_THAT(err, HasSubstr("2000 bytes"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
}

TEST_F(ConfigurationReportTest, MissingReport) {
    const auto report = readConfigurationReport(path);
    EXPECT_FALSE(report.reportOpened);
    EXPECT_TRUE(report.hardwareName.empty() && report.deviceId.empty() && report.occupiedSensorIds.empty());
    EXPECT_EQ(report.stationCount, 0);
    const auto identity = readReportIdentity(path);
    EXPECT_TRUE(identity.first.empty() && identity.second.empty());
}

TEST_F(ConfigurationReportTest, ClearLeavesAnEmptyFile) {
    clearConfigurationReport(path); // missing: created
    EXPECT_TRUE(ferrox_test::fileExists(path));
    EXPECT_EQ(ferrox_test::readFile(path), "");

    write("Hardware Name: H\nID: 1\n");
    clearConfigurationReport(path);
    EXPECT_EQ(ferrox_test::readFile(path), "");

    const std::string orphan = sandbox.root() + "/no-such-folder/DeviceConfiguration.txt";
    clearConfigurationReport(orphan); // silent
    EXPECT_FALSE(ferrox_test::fileExists(orphan));
}

TEST_F(ConfigurationReportTest, Readiness) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        bool exists;
        std::string content;
        bool ready;
    } const cases[] = {
        {"missing", false, "", false},
        {"empty", true, "", false},
        {"one byte", true, "x", true},
    };
    const auto bound = milliseconds(250);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.exists) {
            write(c.content);
        }
        const auto start = Clock::now();
        EXPECT_EQ(waitForConfigurationReport(path, bound), c.ready);
        const auto waited = Clock::now() - start;
        if (c.ready) {
            EXPECT_LT(waited, milliseconds(100));
        } else {
            EXPECT_GE(waited, bound);
            EXPECT_LT(waited, bound + milliseconds(500));
        }
    }

    // A bound of "forever" must not overflow the clock.
    EXPECT_TRUE(waitForConfigurationReport(path, milliseconds::max()));
    EXPECT_TRUE(waitForConfigurationReport(path, milliseconds(-1)));
}

} // namespace
