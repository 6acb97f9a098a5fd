// A real companion whose console misbehaves, read by a real OutputRelay over the launch's pipe: a flood
// without a NUL, bytes that are not printable text, an exit right after starting. And its command line,
// whatever the files and the folder names around it say.
#include "companion/CompanionController.h"
#include "companion/OutputRelay.h"
#include "companion/Paths.h"
#include "companion/RelayLineAssembler.h"
#include "platform/ChildProcess.h"
#include "tests/companion/CompanionTestSupport.h"
#include "tests/companion/Flood.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

using QuillmarkPluginDevices::CompanionController;
using QuillmarkPluginDevices::OutputRelay;
using QuillmarkPluginDevices::RelayLineAssembler;
using namespace ferrox_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::size_t kPrefixLength = std::strlen(RelayLineAssembler::kPrefix);

// The relay's line sink: every line in order, and the largest buffer the assembler ever handed over
// (the sink sees the assembler's own line, so its capacity is the assembler's memory).
class Relayed {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        largestCapacity_ = std::max(largestCapacity_, line.capacity());
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool has(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !lines_.empty() && lines_.back() == RelayLineAssembler::kPrefix + text;
    }
    std::size_t largestCapacity() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return largestCapacity_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::size_t largestCapacity_ = 0;
};

// One companion launched by "Connect" in its own sandbox, its console drained by a relay into `relayed`.
// Members end in reverse: the relay is joined before the companion is ended and the controller closes
// the pipe.
struct RelayedCompanion {
    Sandbox sandbox;
    CompanionController controller;
    CompanionGuard guard{controller};
    Relayed relayed;
    OutputRelay relay{[this] { return controller.stdoutRead(); },
                      [this](const std::string& line) { relayed.add(line); }};

    RelayedCompanion() {
        sandbox.companionDataDir();
        installCompanion(sandbox);
    }
    void launch() {
        ASSERT_TRUE(relay.start());
        controller.sendCommand("Connect");
        ASSERT_TRUE(controller.launched());
    }
};

std::string printableOnly(const std::string& bytes) {
    std::string kept;
    for (const char byte : bytes) {
        if (byte >= 0x20 && byte <= 0x7E) {
            kept.push_back(byte);
        }
    }
    return kept;
}

TEST(ConsoleFault, AFloodWithoutANulIsRelayedInBoundedLinesAtPipeSpeed) {
    struct Case {
        const char* name;
        std::size_t bytes;
    };
    const Case cases[] = {{"100 KB", std::size_t{100} * 1000}, {"10 MB", std::size_t{10} * 1024 * 1024}};
    const std::string marker = "flood ended";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tail = std::string(1, '\0') + marker + std::string(1, '\0');
        RelayedCompanion companion;
        writeFile(companion.sandbox.root() + "/tail.bin", tail);
        ScopedEnv flood("FERROX_TEST_COMPANION_FLOOD", std::to_string(c.bytes));
        ScopedEnv emit("FERROX_TEST_COMPANION_EMIT", companion.sandbox.root() + "/tail.bin");

        // The flood starts with the launch, which itself takes a second for the run mode to settle.
        const auto drained = timed([&] {
            companion.launch();
            EXPECT_TRUE(eventually([&] { return companion.relayed.has(marker); }, 60s));
        });
        std::cout << c.name << " relayed within " << drained.count() << " ms of the launch" << std::endl;
        companion.relay.stop();

        std::string written;
        for (std::size_t i = 0; i < c.bytes; ++i) {
            written.push_back(floodByte(i));
        }
        const std::string expected = printableOnly(written) + marker;
        std::string relayed;
        const auto lines = companion.relayed.lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i].compare(0, kPrefixLength, RelayLineAssembler::kPrefix), 0) << "line " << i;
            ASSERT_LE(lines[i].size(), kPrefixLength + RelayLineAssembler::kMaxLineCharacters)
                << "line " << i;
            // Only the line the flood's NUL ended, and the marker, may be short.
            if (i + 2 < lines.size()) {
                ASSERT_EQ(lines[i].size(), kPrefixLength + RelayLineAssembler::kMaxLineCharacters)
                    << "line " << i;
            }
            relayed.append(lines[i], kPrefixLength, std::string::npos);
        }
        EXPECT_EQ(relayed.size(), expected.size());
        EXPECT_TRUE(relayed == expected) << "the relayed characters differ from the printable bytes written";
        // Memory stays flat: the assembler never grew its line beyond what it reserved for the bound.
        EXPECT_LE(companion.relayed.largestCapacity(),
                  2 * (kPrefixLength + RelayLineAssembler::kMaxLineCharacters));
    }
}

TEST(ConsoleFault, BytesThatAreNotPrintableTextAreDroppedAndNulsEndLines) {
    struct Case {
        const char* name;
        std::string bytes; // each ends with a NUL
        const char* line;  // null: no line at all
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"UTF-8 letters", "caf\xC3\xA9 na\xC3\xAFve \xE2\x82\xAC 5\0"s, "caf nave  5"},
        {"invalid UTF-8",
         "bad\xC3\x28utf\xFF\xFE\xC0\xAF\xED\xA0\x80"
         "8\0"s,
         "bad(utf8"},
        {"control bytes, tab, CR LF, escape sequences, DEL", "a\x01\x07\x08\tb\r\nc\x1B[0md\x7F\0"s,
         "abc[0md"},
        {"nothing printable", "\xFF\xFE\x80\x01\x1F\0"s, nullptr},
        {"NULs only", "\0\0\0"s, nullptr},
        {"UTF-16 text: every NUL ends a line", "\xFF\xFEH\0i\0\0\0"s, nullptr}, // lines checked below
        {"format directives and shell text stay literal", "%s%n%x%% $(touch X) `touch X` ; rm -rf /\0"s,
         "%s%n%x%% $(touch X) `touch X` ; rm -rf /"},
        {"the end", "console ended\0"s, "console ended"},
    };
    std::string bytes;
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        bytes += c.bytes;
        if (std::string(c.name).rfind("UTF-16", 0) == 0) {
            expected.push_back(RelayLineAssembler::kPrefix + "H"s);
            expected.push_back(RelayLineAssembler::kPrefix + "i"s);
        } else if (c.line) {
            expected.push_back(RelayLineAssembler::kPrefix + std::string(c.line));
        }
    }
    RelayedCompanion companion;
    writeFile(companion.sandbox.root() + "/console.bin", bytes);
    ScopedEnv emit("FERROX_TEST_COMPANION_EMIT", companion.sandbox.root() + "/console.bin");
    companion.launch();
    EXPECT_TRUE(eventually([&] { return companion.relayed.has("console ended"); }, 20s));
    companion.relay.stop();
    EXPECT_EQ(companion.relayed.lines(), expected);
}

TEST(ConsoleFault, ACompanionThatExitsAtOnceLeavesItsLinesAndARelayThatStops) {
    ScopedEnv nul("FERROX_TEST_COMPANION_NUL", "1");
    ScopedEnv exitAtOnce("FERROX_TEST_COMPANION_EXIT", "3");
    RelayedCompanion companion;
    companion.launch();
    const auto code = platform::waitForProcess(companion.controller.companionProcess(), 10s);
    ASSERT_TRUE(code.has_value()) << "the companion did not exit";
    companion.guard.reaped = true;
    EXPECT_EQ(*code, 3);
    EXPECT_TRUE(eventually([&] { return companion.relayed.lines().size() == 3; }, 10s));

    // Its write end is still held by the controller, so the relay waits on a silent pipe: stopping must
    // interrupt that read rather than wait it out.
    const auto stopping = timed([&] { companion.relay.stop(); });
    EXPECT_LT(stopping, 5s);
    auto lines = companion.relayed.lines();
    std::sort(lines.begin(), lines.end()); // standard error and output share the pipe in any order
    const std::string prefix = RelayLineAssembler::kPrefix;
    EXPECT_EQ(lines, (std::vector<std::string>{prefix + "companion arg1=\\\\.\\pipe\\test_pipe",
                                               prefix + "companion argc=1", prefix + "companion stderr"}));
}

// Files full of format directives and shell text, and a program folder named like a shell command: the
// companion is still started with exactly its path and the pipe name, and no command ran.
TEST(CompanionCommandLine, IsThePathAndThePipeNameWhateverTheFilesAndFoldersSay) {
    const std::string hostile = "%s%n%x%% ; touch X $(touch Y) `touch Z` 'q' \"q\" | touch W &";
    Sandbox sandbox;
    const ScopedWorkingDirectory inSandbox(sandbox.root());

    // Windows forbids some of these characters in a folder name; the POSIX name takes them all.
    const std::string folderName =
        windowsPaths() ? "pf; touch X $(touch Y) `touch Z` %s%n%x%% & touch W" : "pf" + hostile;
    const std::string programFiles = sandbox.root() + "/" + folderName;
    const std::string programDir = programFiles + "/Quillmark/Harbex/LunoxaFerrox/Lunoxa";
    fs::create_directories(programDir);
    const std::string program = programDir + "/SabletBase.exe";
    fs::copy_file(testCompanionPath(), program);
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);
    ScopedEnv programFilesVariable("PROGRAMFILES", programFiles);

    const std::string dataDir = sandbox.companionDataDir();
    writeFile(dataDir + "/DeviceConfiguration.txt",
              "Pellions detected: 1\nHardware Name: " + hostile + "\nBase ID: 12 " + hostile + "\n");
    writeFile(dataDir + "/pipe_input1.txt", hostile + "\n");
    writeFile(
        sandbox.stateFileDir() + "/system-state.json",
        R"js({"Sensors": [{"SensorId": 1, "SensorName": "%s%n $(touch Y)", "ChannelNames": ["`touch Z`"]}]})js");
    const std::string out = sandbox.root() + "/companion-out.txt";
    ScopedEnv output("FERROX_TEST_COMPANION_OUT", out);
    ScopedEnv argv0("FERROX_TEST_COMPANION_ARGV0", "1");

    CompanionController controller;
    CompanionGuard guard{controller};
    testing::internal::CaptureStderr();
    controller.sendCommand("Connect");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(controller.launched()) << err;
    EXPECT_EQ(err, "");

    const std::string expected =
        "companion argc=1\ncompanion arg0=" + *QuillmarkPluginDevices::companionExecutablePath() +
        "\ncompanion arg1=\\\\.\\pipe\\test_pipe\n";
    EXPECT_TRUE(eventually([&] { return readFile(out).size() >= expected.size(); }, 10s));
    EXPECT_EQ(readFile(out).substr(0, expected.size()), expected);
    EXPECT_EQ(readFile(dataDir + "/pipe_input1.txt"), "AppRunMode" + textLineEnd());
    for (const char* made : {"X", "Y", "Z", "W"}) {
        EXPECT_FALSE(fileExists(sandbox.root() + "/" + made)) << made;
        EXPECT_FALSE(fileExists(dataDir + "/" + made)) << made;
    }
}

} // namespace
