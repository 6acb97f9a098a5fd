#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "tests/companion/CompanionTestSupport.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace ferrox_test;

namespace {

TEST(RunHidden, ReturnsTheCommandsExitCode) {
    for (const int code : {0, 3, 42, 255}) {
        const auto result = platform::runHidden(platform::exitCodeCommandLine(code));
        ASSERT_TRUE(result.has_value()) << "exit " << code;
        EXPECT_EQ(*result, static_cast<unsigned long>(code));
    }
}

TEST(RunHidden, CommandOutputGoesNowhere) {
    std::optional<unsigned long> result;
    const Output output = captureOutput([&] {
        result = platform::runHidden(platform::kIsWindows ? "cmd /C echo visible"
                                                          : "echo visible; echo visible >&2");
    });
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(result, 0ul);
}

// The lines unload runs, byte for byte.
TEST(RunHidden, ImageCommandLinesAreExact) {
    const std::string image = "SabletBase.exe";
    if (platform::kIsWindows) {
        EXPECT_EQ(platform::imageCheckCommandLine(image),
                  "cmd /C tasklist /FI \"IMAGENAME eq SabletBase.exe\" | find /I \"SabletBase.exe\"");
        EXPECT_EQ(platform::imageKillCommandLine(image), "cmd /C taskkill /F /IM SabletBase.exe");
    } else {
        EXPECT_EQ(platform::imageCheckCommandLine(image), "pgrep -x SabletBase.exe");
        EXPECT_EQ(platform::imageKillCommandLine(image), "pkill -KILL -x SabletBase.exe");
    }
}

TEST(ChildProcess, PassesArgumentsExactlyAndReportsTheExitCode) {
    Sandbox sandbox;
    const std::string out = sandbox.root() + "/child-output.txt";
    ScopedEnv output("FERROX_TEST_COMPANION_OUT", out.c_str());
    ScopedEnv exitCode("FERROX_TEST_COMPANION_EXIT", "7");
    const std::vector<std::string> arguments = {"plain",      "two words",      "quote\"inside",
                                                "trailing\\", "\\\\.\\pipe\\x", ""};
    platform::ChildProcess child;
    ASSERT_TRUE(child.start(testCompanionPath(), arguments));
    EXPECT_GT(child.id(), 0);
    const auto code = child.waitFor(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 7);
    EXPECT_FALSE(child.running());

    std::string expected = "companion argc=" + std::to_string(arguments.size()) + '\0';
    expected += "companion arg0=" + testCompanionPath() + '\0';
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        expected += "companion arg" + std::to_string(i + 1) + "=" + arguments[i] + '\0';
    }
    EXPECT_EQ(readFile(out), expected);
}

TEST(ChildProcess, KillEndsAChildThatWouldRunForever) {
    ScopedEnv wait("FERROX_TEST_COMPANION_WAIT", "1");
    platform::ChildProcess child;
    ASSERT_TRUE(child.start(testCompanionPath(), {}));
    EXPECT_TRUE(child.running());
    EXPECT_FALSE(child.waitFor(100ms).has_value());
    const long id = child.id();
    EXPECT_TRUE(platform::processExists(id));
    child.kill();
    EXPECT_FALSE(child.running());
    EXPECT_FALSE(platform::processExists(id));
    EXPECT_TRUE(platform::processExists(platform::currentProcessId()));
}

} // namespace
