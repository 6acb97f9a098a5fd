// The lifecycle behind the entry points, in-process: enumeration's hand-over, and unload's sequence with
// a scripted command runner, so no real process is looked for or killed. Enumeration's wait for a fresh
// report is in PluginTest.cpp, its bound in EnvironmentFaultTest.cpp and PluginTimeoutTest.cpp.
#include "entry/PluginLifecycle.h"

#include "companion/Paths.h"
#include "factory/FerroxEMGFactory.h"
#include "platform/Environment.h"
#include "platform/Process.h"
#include "tests/support/Sandbox.h"
#include "tools/ferrox-host/PluginModule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using QuillmarkPluginDevices::FerroxEMGFactory;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

using ferrox_test::captureOutput;
using ferrox_test::Output;
using Sink = ferrox_host::FactoryCollector;
using Unload = ferrox_host::UnloadRecorder;

class Lifecycle : public ::testing::Test {
protected:
    static std::string reportPath() { return *QuillmarkPluginDevices::configurationReportPath(); }
    static std::string commandPath() { return *QuillmarkPluginDevices::commandFilePath(); }

    ferrox_test::Sandbox sandbox;
};

const char* const kTwoStationReport = "Pellions detected: 2\n"
                                      "Hardware Name: Base Station SB-2\n"
                                      "Base ID: 4711\n"
                                      "Slot 1 occupied by sensor 5\n"
                                      "Slot 2 occupied by sensor 7\n"
                                      "Slot 3 occupied by sensor 5\n";

TEST_F(Lifecycle, EnumerationHandsOverOneIdenticalFactoryPerCountedStation) {
    struct Case {
        const char* report;
        int32_t result;
        std::string identifier;
        std::string hardware;
        std::vector<int32_t> occupied;
    };
    const Case cases[] = {
        {kTwoStationReport, 2, "4711", "Base Station SB-2", {5, 7, 5}},
        // No count line: nothing to hand over, and no message.
        {"Hardware Name: Base\nBase ID: 12\nSlot 1 occupied by sensor 3\n", 0, "", "", {}},
        // A damaged count: bounded, not a billion factories.
        {"Pellions detected: 999999999\nHardware Name: B\nBase ID: 1\n", 64, "1", "B", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        ferrox_test::writeFile(reportPath(), c.report);
        Sink sink;
        int32_t result = -1;
        const Output o =
            captureOutput([&] { result = QuillmarkPluginDevices::enumerateDeviceFactories(&sink, 5s); });
        EXPECT_EQ(result, c.result);
        ASSERT_EQ(sink.factories.size(), static_cast<std::size_t>(c.result));
        for (const auto& factory : sink.factories) {
            EXPECT_EQ(std::string(factory->DeviceName()), c.identifier);
            EXPECT_EQ(std::string(factory->DeviceIdentifier()), c.identifier);
            const auto* typed = dynamic_cast<const FerroxEMGFactory*>(factory.get());
            ASSERT_NE(typed, nullptr);
            EXPECT_EQ(typed->HardwareName(), c.hardware);
            EXPECT_EQ(typed->OccupiedSensorIds(), c.occupied);
        }
        EXPECT_THAT(o.err, Not(HasSubstr("Failed to open file")));
        EXPECT_EQ(o.err.find("handing over") != std::string::npos, c.result == 64);
    }
}

TEST_F(Lifecycle, MissingProgramDataOrSinkIsAMessageNotACrash) {
    platform::unsetEnv("ProgramData");
    Sink sink;
    int32_t result = -1;
    Output o = captureOutput([&] { result = QuillmarkPluginDevices::enumerateDeviceFactories(&sink, 5s); });
    EXPECT_EQ(result, 0);
    EXPECT_THAT(sink.factories, IsEmpty());
    EXPECT_THAT(o.err, HasSubstr("ProgramData"));

    Unload unload;
    o = captureOutput([&] {
        result = QuillmarkPluginDevices::unloadPlugin(
            &unload, [](const std::string&) { return std::optional<unsigned long>(1); });
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(unload.identifierCalls, 1);
    EXPECT_EQ(unload.identifier, "");
    EXPECT_THAT(o.err, HasSubstr("ProgramData"));

    o = captureOutput([&] { result = QuillmarkPluginDevices::enumerateDeviceFactories(nullptr, 5s); });
    EXPECT_EQ(result, 0);
    EXPECT_THAT(o.err, Not(IsEmpty()));
}

TEST_F(Lifecycle, UnloadKillsTheCompanionOnlyWhenTheCheckFindsIt) {
    using Code = std::optional<unsigned long>;
    struct Case {
        Code check;
        Code kill;
        bool killRuns;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {std::nullopt, 0ul, false, "", ""},
        {1ul, 0ul, false, "", ""},
        {0ul, std::nullopt, true, "", "Failed to execute taskkill.\n"},
        {0ul, 0ul, true, "SabletBase.exe terminated successfully.\n", ""},
        {0ul, 128ul, true, "", "Failed to terminate SabletBase.exe.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "check " << (c.check ? std::to_string(*c.check) : "not started")
                                        << ", kill " << (c.kill ? std::to_string(*c.kill) : "not started"));
        ferrox_test::writeFile(reportPath(), "Hardware Name: H\nBase ID: 31\n");
        std::vector<std::string> ran;
        auto runner = [&](const std::string& line) -> Code {
            ran.push_back(line);
            return ran.size() == 1 ? c.check : c.kill;
        };
        Unload unload;
        int32_t result = -1;
        const Output o =
            captureOutput([&] { result = QuillmarkPluginDevices::unloadPlugin(&unload, runner); });

        std::vector<std::string> expected{
            platform::imageCheckCommandLine(QuillmarkPluginDevices::kCompanionImageName)};
        if (c.killRuns) {
            expected.emplace_back(
                platform::imageKillCommandLine(QuillmarkPluginDevices::kCompanionImageName));
        }
        EXPECT_EQ(ran, expected);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        // Whatever the companion did, the rest of the sequence runs.
        EXPECT_EQ(result, 0);
        EXPECT_EQ(unload.identifier, "31");
    }
}

TEST_F(Lifecycle, UnloadCleansUpTheFilesAndPassesTheIdentifier) {
    const auto notRunning = [](const std::string&) { return std::optional<unsigned long>(1); };
    struct Case {
        bool commandFile;
        bool report;
        const char* out;
        const char* identifier;
    };
    const Case cases[] = {
        {true, true, "Existing pipe file deleted.\n", "4711"},
        {false, true, "", "4711"},
        {true, false, "Existing pipe file deleted.\n", ""},
        {false, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "command file " << c.commandFile << ", report " << c.report);
        std::filesystem::remove(commandPath());
        std::filesystem::remove(reportPath());
        if (c.commandFile) {
            ferrox_test::writeFile(commandPath(), "Stop\n");
        }
        if (c.report) {
            ferrox_test::writeFile(reportPath(), kTwoStationReport);
        }
        Unload unload;
        int32_t result = -1;
        const Output o =
            captureOutput([&] { result = QuillmarkPluginDevices::unloadPlugin(&unload, notRunning); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
        EXPECT_FALSE(ferrox_test::fileExists(commandPath()));
        // Left existing and empty, so the next enumeration waits for a fresh report.
        EXPECT_TRUE(ferrox_test::fileExists(reportPath()));
        EXPECT_EQ(ferrox_test::readFile(reportPath()), "");
        EXPECT_EQ(unload.identifierCalls, 1);
        EXPECT_EQ(unload.identifier, c.identifier);
    }
}

TEST_F(Lifecycle, UnloadReportsACommandFileItCannotDeleteAndCarriesOn) {
    // A folder in the command file's place, with something in it, cannot be removed. Whether it opens
    // for reading depends on the system: where it does not, unload leaves it alone and says nothing.
    std::filesystem::create_directories(commandPath() + "/held");
    ferrox_test::writeFile(reportPath(), "Hardware Name: H\nBase ID: 5\n");
    const bool opens = std::ifstream(commandPath()).good();
    Unload unload;
    int32_t result = -1;
    const Output o = captureOutput([&] {
        result = QuillmarkPluginDevices::unloadPlugin(
            &unload, [](const std::string&) { return std::optional<unsigned long>(1); });
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(o.err, opens ? "Failed to delete existing pipe file.\n" : "");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(unload.identifier, "5");
    EXPECT_EQ(ferrox_test::readFile(reportPath()), "");
}

// On Windows a companion polling the command file holds it open for a moment, and the file cannot be
// deleted until it lets go: unload waits that moment out instead of leaving the file behind.
TEST_F(Lifecycle, UnloadDeletesACommandFileTheCompanionHoldsOpenForAMoment) {
    ferrox_test::writeFile(commandPath(), "AppRunMode");
    auto reading = std::make_unique<std::ifstream>(commandPath());
    ASSERT_TRUE(reading->good());
    std::thread companion([&] {
        std::this_thread::sleep_for(200ms);
        reading.reset();
    });
    Unload unload;
    const Output o = captureOutput([&] {
        QuillmarkPluginDevices::unloadPlugin(
            &unload, [](const std::string&) { return std::optional<unsigned long>(1); });
    });
    companion.join();
    EXPECT_EQ(o.out, "Existing pipe file deleted.\n");
    EXPECT_EQ(o.err, "");
    EXPECT_FALSE(ferrox_test::fileExists(commandPath()));
}

TEST(Version, IsOneZeroZeroAndToleratesNullPointers) {
    int32_t v[3] = {7, 7, 7};
    QuillmarkPluginDevices::reportVersion(&v[0], &v[1], &v[2]);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 0);
    int32_t only = 7;
    QuillmarkPluginDevices::reportVersion(nullptr, &only, nullptr);
    EXPECT_EQ(only, 0);
}

} // namespace
