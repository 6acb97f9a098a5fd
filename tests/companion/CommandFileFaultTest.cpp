// A command file that cannot be written: the command is lost with its one message, nothing else.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "platform/Os.h"
#include "tests/companion/CompanionTestSupport.h"
#include "tests/companion/Unprivileged.h"

#include <gtest/gtest.h>

#include <filesystem>

using QuillmarkPluginDevices::commandFilePath;
using QuillmarkPluginDevices::CompanionController;
using QuillmarkPluginDevices::writeCommandFile;
using namespace ferrox_test;
namespace fs = std::filesystem;

namespace {

TEST(CommandFileFault, ReadOnlyFolderOrFileLosesTheCommandWithItsOneMessage) {
    if (platform::kIsWindows) {
        GTEST_SKIP() << "read-only folders and files are modelled with POSIX permissions";
    }
    struct Case {
        const char* name;
        bool staleFile;   // a command file exists (and is made read-only) before the write
        fs::perms folder; // the folder's permissions during the write
        const char* word; // sent through sendCommand; null: writeCommandFile("Stop") directly
        const char* out;
    };
    const char* const banner = "\n->Start of parent execution.\n";
    const Case cases[] = {
        {"read-only folder, no file", false, fs::perms::owner_read | fs::perms::owner_exec, nullptr, ""},
        {"read-only folder, through a command word", false,
         fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec,
         "Stop", banner},
        {"read-only file in a writable folder", true, fs::perms::all, "EMG", banner},
    };
    // The control: with the folder writable, the same child writes the command, so the cases below
    // fail for their permissions and for nothing else.
    {
        Sandbox sandbox;
        const ReachableFolder reachable;
        const ScopedEnv programData("ProgramData", (reachable.path / "ProgramData").string());
        const std::string file = *commandFilePath();
        reachable.create(fs::path(file).parent_path());
        fs::permissions(fs::path(file).parent_path(), fs::perms::all);
        const auto outcome = runUnprivileged([] {
            writeCommandFile("Stop");
            return std::string();
        });
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(outcome->err, "");
        EXPECT_EQ(readFile(file), "Stop" + std::string(platform::kTextNewline));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        const ReachableFolder reachable;
        const ScopedEnv programData("ProgramData", (reachable.path / "ProgramData").string());
        const std::string file = *commandFilePath();
        const std::string folder = fs::path(file).parent_path().string();
        reachable.create(folder);
        const std::string stale = "Stale" + std::string(platform::kTextNewline);
        if (c.staleFile) {
            writeFile(file, stale);
            fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        }
        fs::permissions(folder, c.folder);

        const auto outcome = runUnprivileged([&] {
            testing::internal::CaptureStdout();
            if (c.word) {
                CompanionController controller;
                controller.sendCommand(c.word);
            } else {
                writeCommandFile("Stop");
            }
            return testing::internal::GetCapturedStdout();
        });
        fs::permissions(folder, fs::perms::all);
        ASSERT_TRUE(outcome.has_value()) << "the unprivileged child did not finish";
        EXPECT_EQ(outcome->err, "Failed to write to pipe file: " + file + "\n");
        EXPECT_EQ(outcome->result, c.out);
        // Lost, not half-written: the folder holds what it held before.
        EXPECT_EQ(fileExists(file), c.staleFile);
        if (c.staleFile) {
            EXPECT_EQ(readFile(file), stale);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
                  c.staleFile ? 1 : 0);
    }
}

} // namespace
