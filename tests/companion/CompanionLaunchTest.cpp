// "Connect" against the real test companion, installed as the companion in a sandbox.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "tests/companion/CompanionTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>

using platform::kTextNewline;
using QuillmarkPluginDevices::commandFilePath;
using QuillmarkPluginDevices::CompanionController;
using namespace ferrox_test;
using namespace std::chrono_literals;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

TEST(Launch, ConnectLaunchesOnceWithTheConsoleOnPipes) {
    Sandbox sandbox;
    installAsCompanion(testCompanionPath());
    const std::string file = *commandFilePath();
    writeFile(file, "Stale"s + kTextNewline);

    CompanionController controller;
    CompanionGuard guard{controller};
    const auto launchTime = timed([&] { controller.sendCommand("Connect"); });
    ASSERT_TRUE(controller.launched());
    EXPECT_TRUE(controller.runModeSent());
    EXPECT_GE(launchTime, 950ms);
    EXPECT_EQ(readFile(file), "AppRunMode"s + kTextNewline);

    // The pipe name is the only argument, and stdout and stderr share the pipe.
    ConsoleCapture console(controller.stdoutRead());
    EXPECT_TRUE(console.waitFor("companion argc=1\0"s));
    EXPECT_TRUE(console.waitFor("companion arg1=\\\\.\\pipe\\test_pipe\0"s));
    EXPECT_TRUE(console.waitFor("companion stderr\0"s));
    // Standard input is the other pipe, bytes as written.
    const std::string input = "ping\na\0b\n"s;
    ASSERT_TRUE(platform::writeAll(controller.stdinWrite(), input.data(), input.size()));
    EXPECT_TRUE(console.waitFor("companion stdin: ping\0"s));
    EXPECT_TRUE(console.waitFor("companion stdin: a\0b\0"s)) << console.text();

    const auto process = controller.companionProcess();
    const auto pipe = controller.stdoutRead();
    EXPECT_LT(timed([&] { controller.sendCommand("Connect"); }), 500ms);
    EXPECT_EQ(readFile(file), "");
    EXPECT_EQ(controller.companionProcess(), process);
    EXPECT_EQ(controller.stdoutRead(), pipe);

    EXPECT_LT(timed([&] { controller.sendCommand("AppRunMode"); }), 500ms);
    EXPECT_EQ(readFile(file), "");
    controller.sendCommand("Scan_Sensor");
    EXPECT_EQ(readFile(file), "Scan"s + kTextNewline);
}

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
        if (platform::kIsWindows && std::string(c.name) == "not executable") {
            continue; // Windows starts a file by its name, not by a permission bit
        }
        Sandbox sandbox;
        const std::string program = *QuillmarkPluginDevices::companionExecutablePath();
        c.place(program);
        const std::string file = *commandFilePath();
        writeFile(file, "Stale"s + kTextNewline);
        CompanionController controller;
        CompanionGuard guard{controller};

        std::chrono::milliseconds failed{};
        const Output output =
            captureOutput([&] { failed = timed([&] { controller.sendCommand("Connect"); }); });
        EXPECT_LT(failed, 500ms);
        EXPECT_FALSE(controller.launched());
        EXPECT_FALSE(controller.runModeSent());
        EXPECT_FALSE(platform::isValid(controller.stdoutRead()));
        EXPECT_EQ(readFile(file), "");
        const std::string prefix = "Failed to launch SabletBase.exe: ";
        ASSERT_EQ(output.err.rfind(prefix, 0), 0u) << output.err;
        const std::string code = output.err.substr(prefix.size());
        ASSERT_GE(code.size(), 2u);
        EXPECT_EQ(code.back(), '\n');
        EXPECT_EQ(code.find_first_not_of("0123456789"), code.size() - 1) << output.err;
        EXPECT_NE(code, "0\n");
        if (!platform::kIsWindows) {
            EXPECT_EQ(code, std::to_string(c.posixError) + "\n");
        }

        fs::remove_all(program);
        installAsCompanion(testCompanionPath());
        controller.sendCommand("Connect");
        EXPECT_TRUE(controller.launched());
        EXPECT_EQ(readFile(file), "AppRunMode"s + kTextNewline);
    }
}

TEST(Launch, LaterChildrenDoNotHoldTheCompanionsInputAndTheCheckFindsIt) {
    Sandbox sandbox;
    installAsCompanion(testCompanionPath());
    CompanionController controller;
    CompanionGuard guard{controller};
    controller.sendCommand("Connect");
    ASSERT_TRUE(controller.launched());
    // Wine's stub tasklist never satisfies the check's find.
    if (!platform::kIsWindows) {
        EXPECT_EQ(
            platform::runHidden(platform::imageCheckCommandLine(QuillmarkPluginDevices::kCompanionImageName)),
            0ul);
    }

    // A child started afterwards would keep the input pipe open if it had inherited the write end.
    ScopedEnv wait("FERROX_TEST_COMPANION_WAIT", "1");
    platform::ChildProcess later;
    ASSERT_TRUE(later.start(testCompanionPath(), {}));

    controller.closeInput();
    const auto code = platform::waitForProcess(controller.companionProcess(), 10s);
    ASSERT_TRUE(code.has_value()) << "the companion never saw its input close";
    guard.reaped = true;
    EXPECT_EQ(*code, 0);
}

} // namespace
