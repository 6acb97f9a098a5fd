// "Connect" against the real test companion, installed as SabletBase.exe in a sandbox.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "platform/ChildProcess.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "tests/companion/CompanionTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>

using QuillmarkPluginDevices::commandFilePath;
using QuillmarkPluginDevices::CompanionController;
using namespace ferrox_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

void writeTo(platform::NativeHandle pipe, const std::string& bytes) {
    ASSERT_TRUE(platform::writeAll(pipe, bytes.data(), bytes.size()));
}

class LaunchTest : public testing::TestWithParam<bool> {};

TEST_P(LaunchTest, ConnectLaunchesOnceWithTheConsoleOnPipes) {
    const bool nulTerminated = GetParam();
    const std::string end = nulTerminated ? std::string(1, '\0') : std::string("\n");
    ScopedEnv mode("FERROX_TEST_COMPANION_NUL", nulTerminated ? "1" : nullptr);
    Sandbox sandbox;
    sandbox.companionDataDir();
    installCompanion(sandbox);
    const std::string file = *commandFilePath();
    writeFile(file, "Stale" + textLineEnd());

    CompanionController controller;
    CompanionGuard guard{controller};
    const auto launchTime = timed([&] { controller.sendCommand("Connect"); });
    ASSERT_TRUE(controller.launched());
    EXPECT_TRUE(controller.runModeSent());
    EXPECT_GE(launchTime, 950ms);
    EXPECT_EQ(readFile(file), "AppRunMode" + textLineEnd());

    // The pipe name is the only argument, and stdout and stderr share the pipe.
    PipeCapture console(controller.stdoutRead());
    EXPECT_TRUE(console.waitFor("companion argc=1" + end));
    EXPECT_TRUE(console.waitFor("companion arg1=\\\\.\\pipe\\test_pipe" + end));
    EXPECT_TRUE(console.waitFor("companion stderr" + end));
    // Standard input is the other pipe, bytes as written.
    writeTo(controller.stdinWrite(), std::string("ping\n") + "a" + std::string(1, '\0') + "b\n");
    EXPECT_TRUE(console.waitFor("companion stdin: ping" + end));
    EXPECT_TRUE(console.waitFor("companion stdin: a" + std::string(1, '\0') + "b" + end)) << console.text();

    const auto process = controller.companionProcess();
    const auto pipe = controller.stdoutRead();
    const auto again = timed([&] { controller.sendCommand("Connect"); });
    EXPECT_LT(again, 500ms);
    EXPECT_EQ(readFile(file), "");
    EXPECT_EQ(controller.companionProcess(), process);
    EXPECT_EQ(controller.stdoutRead(), pipe);

    const auto runMode = timed([&] { controller.sendCommand("AppRunMode"); });
    EXPECT_LT(runMode, 500ms);
    EXPECT_EQ(readFile(file), "");
    controller.sendCommand("Scan_Sensor");
    EXPECT_EQ(readFile(file), "Scan" + textLineEnd());
}

INSTANTIATE_TEST_SUITE_P(Terminators, LaunchTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Nul" : "Newline";
                         });

TEST(Launch, FailedLaunchIsReportedAndTheNextConnectTriesAgain) {
    struct Case {
        const char* name;
        std::function<void(const std::string& program)> place; // what stands where the program should be
        int posixError;
    };
    const Case cases[] = {
        {"no program", [](const std::string&) {}, ENOENT},
        {"not executable", [](const std::string& program) { writeFile(program, "#!/bin/sh\nexit 0\n"); },
         EACCES},
        {"a folder", [](const std::string& program) { fs::create_directories(program + "/inside"); }, EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (windowsPaths() && std::string(c.name) == "not executable") {
            continue; // Windows starts a file by its name, not by a permission bit
        }
        Sandbox sandbox;
        sandbox.companionDataDir();
        const std::string program = sandbox.companionProgramDir() + "/SabletBase.exe";
        c.place(program);
        const std::string file = *commandFilePath();
        writeFile(file, "Stale" + textLineEnd());
        CompanionController controller;
        CompanionGuard guard{controller};

        testing::internal::CaptureStderr();
        const auto failed = timed([&] { controller.sendCommand("Connect"); });
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_LT(failed, 500ms);
        EXPECT_FALSE(controller.launched());
        EXPECT_FALSE(controller.runModeSent());
        EXPECT_FALSE(platform::isValid(controller.stdoutRead()));
        EXPECT_EQ(readFile(file), "");
        const std::string prefix = "Failed to launch SabletBase.exe: ";
        ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
        const std::string code = message.substr(prefix.size());
        ASSERT_GE(code.size(), 2u);
        EXPECT_EQ(code.back(), '\n');
        EXPECT_EQ(code.find_first_not_of("0123456789"), code.size() - 1) << message;
        EXPECT_NE(code, "0\n");
        if (!windowsPaths()) {
            EXPECT_EQ(code, std::to_string(c.posixError) + "\n");
        }

        fs::remove_all(program);
        installCompanion(sandbox);
        controller.sendCommand("Connect");
        EXPECT_TRUE(controller.launched());
        EXPECT_EQ(readFile(file), "AppRunMode" + textLineEnd());
    }
}

TEST(Launch, LaterChildrenDoNotHoldTheCompanionsInput) {
    Sandbox sandbox;
    sandbox.companionDataDir();
    installCompanion(sandbox);
    CompanionController controller;
    CompanionGuard guard{controller};
    controller.sendCommand("Connect");
    ASSERT_TRUE(controller.launched());

    // A child started afterwards would keep the input pipe open if it had inherited the write end.
    ScopedEnv wait("FERROX_TEST_COMPANION_WAIT", "1");
    platform::ChildProcess later;
    ASSERT_TRUE(later.start(testCompanionPath(), {}));

    controller.closeInput();
    const auto code = platform::waitForProcess(controller.companionProcess(), 10s);
    ASSERT_TRUE(code.has_value()) << "the companion never saw its input close";
    guard.reaped = true;
    EXPECT_EQ(*code, 0);
    later.kill();
}

TEST(Launch, CheckCommandFindsTheRunningCompanion) {
    if (windowsPaths()) {
        GTEST_SKIP() << "the check pipes tasklist into find, which Wine's stub tasklist never satisfies";
    }
    Sandbox sandbox;
    sandbox.companionDataDir();
    installCompanion(sandbox);
    CompanionController controller;
    CompanionGuard guard{controller};
    controller.sendCommand("Connect");
    ASSERT_TRUE(controller.launched());
    const auto exitCode =
        platform::runHidden(platform::imageCheckCommandLine(QuillmarkPluginDevices::kCompanionImageName));
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u);
}

} // namespace
