// A real companion whose console misbehaves, read by a real OutputRelay over the launch's pipe: a flood
// without a NUL, bytes that are not printable text, an exit right after starting. And its command line,
// whatever the files and the folder names around it say.
#include "companion/CompanionController.h"
#include "companion/OutputRelay.h"
#include "companion/Paths.h"
#include "companion/RelayLineAssembler.h"
#include "platform/ChildProcess.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "tests/companion/CompanionTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
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
using namespace std::string_literals;

namespace {

const std::string kPrefix = RelayLineAssembler::kPrefix;
const std::size_t kLongestLine = kPrefix.size() + RelayLineAssembler::kMaxLineCharacters;

// One companion launched by "Connect" in its own sandbox, writing the bytes given (or, without any, its
// usual messages) to a console drained by a relay. The sink records every line in order and the largest
// buffer the assembler ever handed over (the sink sees the assembler's own line). Members end in
// reverse: the relay is joined before the companion is ended and the controller closes the pipe.
struct RelayedCompanion {
    Sandbox sandbox;
    CompanionController controller;
    CompanionGuard guard{controller};
    mutable std::mutex mutex;
    std::vector<std::string> relayed;
    std::size_t largestCapacity = 0;
    OutputRelay relay{[this] { return controller.stdoutRead(); },
                      [this](const std::string& line) {
                          std::lock_guard<std::mutex> lock(mutex);
                          relayed.push_back(line);
                          largestCapacity = std::max(largestCapacity, line.capacity());
                      }};

    void launch(const std::string& consoleBytes = "") {
        installAsCompanion(testCompanionPath());
        const std::string emit = sandbox.root() + "/console.bin";
        writeFile(emit, consoleBytes);
        const ScopedEnv emitting("FERROX_TEST_COMPANION_EMIT", consoleBytes.empty() ? nullptr : emit.c_str());
        ASSERT_TRUE(relay.start());
        controller.sendCommand("Connect");
        ASSERT_TRUE(controller.launched());
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex);
        return relayed;
    }
    bool endsWith(const std::string& text) const {
        const auto all = lines();
        return !all.empty() && all.back() == kPrefix + text;
    }
};

TEST(ConsoleFault, AFloodWithoutANulIsRelayedInBoundedLinesAtPipeSpeed) {
    const std::string marker = "flood ended";
    for (const std::size_t size : {std::size_t{100} * 1000, std::size_t{10} * 1024 * 1024}) {
        SCOPED_TRACE(size);
        // Every byte value from 1 to 255 in turn, so printable and other bytes are mixed and no NUL ends
        // a line; then a NUL and a marker line.
        std::string flood;
        std::string printable;
        for (std::size_t i = 0; i < size; ++i) {
            flood.push_back(static_cast<char>(1 + i % 255));
            if (flood.back() >= 0x20 && flood.back() <= 0x7E) {
                printable.push_back(flood.back());
            }
        }
        RelayedCompanion companion;
        // The flood starts with the launch, which itself takes a second for the run mode to settle.
        const auto drained = timed([&] {
            companion.launch(flood + "\0"s + marker + "\0"s);
            EXPECT_TRUE(eventually([&] { return companion.endsWith(marker); }, 60s));
        });
        std::cout << size << " bytes relayed within " << drained.count() << " ms of the launch" << std::endl;
        companion.relay.stop();

        std::string relayed;
        const auto lines = companion.lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i].compare(0, kPrefix.size(), kPrefix), 0) << "line " << i;
            // Only the line the flood's NUL ended, and the marker, may be short.
            ASSERT_TRUE(lines[i].size() == kLongestLine ||
                        (i + 2 >= lines.size() && lines[i].size() < kLongestLine))
                << "line " << i << " has " << lines[i].size() << " characters";
            relayed.append(lines[i], kPrefix.size(), std::string::npos);
        }
        EXPECT_EQ(relayed.size(), printable.size() + marker.size());
        EXPECT_TRUE(relayed == printable + marker)
            << "the relayed characters differ from the printable bytes written";
        // Memory stays flat: the assembler never grew its line beyond what it reserved for the bound.
        EXPECT_LE(companion.largestCapacity, 2 * kLongestLine);
    }
}

TEST(ConsoleFault, BytesThatAreNotPrintableTextAreDroppedAndNulsEndLines) {
    struct Case {
        std::string bytes;              // each ends with a NUL
        std::vector<std::string> lines; // without the prefix
    };
    const Case cases[] = {
        {"caf\xC3\xA9 na\xC3\xAFve \xE2\x82\xAC 5\0"s, {"caf nave  5"}}, // UTF-8 letters
        {"bad\xC3\x28utf\xFF\xFE\xC0\xAF\xED\xA0\x80"
         "8\0"s,
         {"bad(utf8"}},                                        // invalid UTF-8
        {"a\x01\x07\x08\tb\r\nc\x1B[0md\x7F\0"s, {"abc[0md"}}, // control bytes, tab, CR LF, escapes, DEL
        {"\xFF\xFE\x80\x01\x1F\0"s, {}},                       // nothing printable
        {"\0\0\0"s, {}},                                       // NULs only
        {"\xFF\xFEH\0i\0\0\0"s, {"H", "i"}},                   // UTF-16 text: every NUL ends a line
        {"%s%n%x%% $(touch X) `touch X` ; rm -rf /\0"s, {"%s%n%x%% $(touch X) `touch X` ; rm -rf /"}},
        {"console ended\0"s, {"console ended"}},
    };
    std::string bytes;
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        bytes += c.bytes;
        for (const std::string& line : c.lines) {
            expected.push_back(kPrefix + line);
        }
    }
    RelayedCompanion companion;
    companion.launch(bytes);
    EXPECT_TRUE(eventually([&] { return companion.endsWith("console ended"); }, 20s));
    companion.relay.stop();
    EXPECT_EQ(companion.lines(), expected);
}

TEST(ConsoleFault, ACompanionThatExitsAtOnceLeavesItsLinesAndARelayThatStops) {
    ScopedEnv exitAtOnce("FERROX_TEST_COMPANION_EXIT", "3");
    RelayedCompanion companion;
    companion.launch();
    const auto code = platform::waitForProcess(companion.controller.companionProcess(), 10s);
    ASSERT_TRUE(code.has_value()) << "the companion did not exit";
    companion.guard.reaped = true;
    EXPECT_EQ(*code, 3);
    EXPECT_TRUE(eventually([&] { return companion.lines().size() == 4; }, 10s));

    // Its write end is still held by the controller, so the relay waits on a silent pipe: stopping must
    // interrupt that read rather than wait it out.
    EXPECT_LT(timed([&] { companion.relay.stop(); }), 5s);
    auto lines = companion.lines();
    std::sort(lines.begin(), lines.end()); // standard error and output share the pipe in any order
    EXPECT_EQ(lines, (std::vector<std::string>{
                         kPrefix + "companion arg0=" + *QuillmarkPluginDevices::companionExecutablePath(),
                         kPrefix + "companion arg1=\\\\.\\pipe\\test_pipe", kPrefix + "companion argc=1",
                         kPrefix + "companion stderr"}));
}

// Files full of format directives and shell text, and a program folder named like a shell command: the
// companion is still started with exactly its path and the pipe name, and no command ran.
TEST(CompanionCommandLine, IsThePathAndThePipeNameWhateverTheFilesAndFoldersSay) {
    const std::string hostile = "%s%n%x%% ; touch X $(touch Y) `touch Z` 'q' \"q\" | touch W &";
    Sandbox sandbox;
    const ScopedWorkingDirectory inSandbox(sandbox.root());

    // Windows forbids some of these characters in a folder name; the POSIX name takes them all.
    const std::string folderName =
        platform::kIsWindows ? "pf; touch X $(touch Y) `touch Z` %s%n%x%% & touch W" : "pf" + hostile;
    ScopedEnv programFiles("PROGRAMFILES", sandbox.root() + "/" + folderName);
    const std::string program = installAsCompanion(testCompanionPath());

    writeFile(*QuillmarkPluginDevices::configurationReportPath(),
              "Pellions detected: 1\nHardware Name: " + hostile + "\nBase ID: 12 " + hostile + "\n");
    writeFile(*QuillmarkPluginDevices::commandFilePath(), hostile + "\n");
    writeFile(
        *QuillmarkPluginDevices::sensorStateFilePath(),
        R"js({"Sensors": [{"SensorId": 1, "SensorName": "%s%n $(touch Y)", "ChannelNames": ["`touch Z`"]}]})js");
    const std::string out = sandbox.root() + "/companion-out.txt";
    ScopedEnv output("FERROX_TEST_COMPANION_OUT", out);

    CompanionController controller;
    CompanionGuard guard{controller};
    const Output connect = captureOutput([&] { controller.sendCommand("Connect"); });
    ASSERT_TRUE(controller.launched()) << connect.err;
    EXPECT_EQ(connect.err, "");

    const std::string expected =
        "companion argc=1\0companion arg0="s + program + "\0companion arg1=\\\\.\\pipe\\test_pipe\0"s;
    EXPECT_TRUE(eventually([&] { return readFile(out).size() >= expected.size(); }, 10s));
    EXPECT_EQ(readFile(out).substr(0, expected.size()), expected);
    EXPECT_EQ(readFile(*QuillmarkPluginDevices::commandFilePath()), "AppRunMode"s + platform::kTextNewline);
    const std::filesystem::path dataDir =
        std::filesystem::path(*QuillmarkPluginDevices::commandFilePath()).parent_path();
    for (const char* made : {"X", "Y", "Z", "W"}) {
        EXPECT_FALSE(fileExists(sandbox.root() + "/" + made)) << made;
        EXPECT_FALSE(fileExists((dataDir / made).string())) << made;
    }
}

} // namespace
