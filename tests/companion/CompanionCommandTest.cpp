// The command words and the command file, without a companion.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "platform/Os.h"
#include "tests/companion/CompanionTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using platform::kTextNewline;
using QuillmarkPluginDevices::commandFilePath;
using QuillmarkPluginDevices::CompanionController;
using namespace ferrox_test;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const char* const kBanner = "\n->Start of parent execution.\n";

std::string commandFile() {
    return *commandFilePath();
}

TEST(CommandFile, EveryWordLeavesOnlyItsOwnLine) {
    struct Case {
        const char* word;
        const char* line; // null: the word matches nothing and the file is left empty
    };
    const Case cases[] = {
        {"EMG", "EMG"},
        {"EMG plus Accelerometer", "EMG plus Accelerometer"},
        {"EMG plus Gyrscope", "EMG plus Gyrscope"},
        {"Scan_Sensor", "Scan"},
        {"Stop", "Stop"},
        {"Stop", "Stop"},
        {"Scan", nullptr},
        {"emg", nullptr},
        {"STOP", nullptr},
        {"scan_sensor", nullptr},
        {"EMG plus accelerometer", nullptr},
        {"EMG plus Gyroscope", nullptr},
        {"appRunMode", nullptr},
        {"connect", nullptr},
        {"EMG ", nullptr},
        {" Stop", nullptr},
        {"", nullptr},
        {"EMG", "EMG"},
    };
    Sandbox sandbox;
    writeFile(commandFile(), "Stale"s + kTextNewline + "Older" + kTextNewline);
    CompanionController controller;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("word \"") + c.word + "\"");
        controller.sendCommand(c.word);
        ASSERT_TRUE(fileExists(commandFile()));
        EXPECT_EQ(readFile(commandFile()), c.line ? c.line + std::string(kTextNewline) : std::string());
    }
    EXPECT_FALSE(controller.launched());
    EXPECT_FALSE(controller.runModeSent());
}

TEST(CommandFile, MissingFileIsCreatedOnlyByAWordWithALine) {
    Sandbox sandbox;
    CompanionController controller;
    controller.sendCommand("Unknown");
    EXPECT_FALSE(fileExists(commandFile()));
    controller.sendCommand("Scan_Sensor");
    EXPECT_EQ(readFile(commandFile()), "Scan"s + kTextNewline);
}

TEST(CommandFile, UnknownWordPrintsOnlyTheBanner) {
    Sandbox sandbox;
    CompanionController controller;
    for (const char* word : {"Nothing", "", static_cast<const char*>(nullptr)}) {
        const Output output = captureOutput([&] { controller.sendCommand(word); });
        EXPECT_EQ(output.err, "");
        EXPECT_EQ(output.out, kBanner);
    }
}

TEST(CommandFile, MissingDirectoryLosesTheCommandWithAMessage) {
    Sandbox sandbox;
    std::filesystem::remove_all(std::filesystem::path(commandFile()).parent_path());
    CompanionController controller;
    EXPECT_EQ(captureOutput([&] { controller.sendCommand("Stop"); }).err,
              "Failed to write to pipe file: " + commandFile() + "\n");
    EXPECT_FALSE(fileExists(commandFile()));
}

TEST(CommandFile, RunModeIsWrittenOnceAndWaitedForOnce) {
    Sandbox sandbox;
    CompanionController controller;
    const auto first = timed([&] { controller.sendCommand("AppRunMode"); });
    EXPECT_GE(first, 950ms);
    EXPECT_TRUE(controller.runModeSent());
    EXPECT_EQ(readFile(commandFile()), "AppRunMode"s + kTextNewline);

    const auto second = timed([&] { controller.sendCommand("AppRunMode"); });
    EXPECT_LT(second, 500ms);
    EXPECT_EQ(readFile(commandFile()), "");
    EXPECT_FALSE(controller.launched());
}

TEST(CommandFile, UnsetVariablesAreNamedAndNothingBreaks) {
    struct Case {
        const char* variable;
        const char* word;
        const char* message;
    };
    const Case cases[] = {
        {"ProgramData", "EMG", "Failed to write to pipe file: environment variable ProgramData is not set\n"},
        {"ProgramData", "Nothing", ""},
        {"PROGRAMFILES", "Connect",
         "Failed to launch SabletBase.exe: environment variable PROGRAMFILES is not set\n"},
        {"PROGRAMFILES", "Stop", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + " unset, word " + c.word);
        Sandbox sandbox;
        const std::string file = commandFile();
        ScopedEnv unset(c.variable, nullptr);
        CompanionController controller;
        const Output output = captureOutput([&] { controller.sendCommand(c.word); });
        EXPECT_EQ(output.err, c.message);
        EXPECT_EQ(output.out, kBanner);
        EXPECT_FALSE(controller.launched());
        EXPECT_FALSE(controller.runModeSent());
        if (std::string(c.variable) == "ProgramData") {
            EXPECT_FALSE(fileExists(file));
        }
    }
}

} // namespace
