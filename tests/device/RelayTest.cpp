// The companion's console: byte rules of the line assembler, and the relay thread over a real pipe.
#include "companion/OutputRelay.h"
#include "platform/Pipe.h"
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace ferrox_test;
using QuillmarkPluginDevices::OutputRelay;
using QuillmarkPluginDevices::RelayLineAssembler;

namespace {
const std::string kPrefix = RelayLineAssembler::kPrefix;
} // namespace

TEST(RelayLines, ByteRules) {
    struct Case {
        const char* name;
        std::vector<std::string> reads;
        std::vector<std::string> lines;
        std::string current;
    };
    const Case cases[] = {
        {"NUL resets", {std::string("AB\0CD", 5)}, {kPrefix + "AB"}, kPrefix + "CD"},
        {"CR LF split over reads", {"Hello\r", "\nWorld"}, {}, kPrefix + "HelloWorld"},
        {"non-printable dropped", {"caf\xe9\t\x7f!"}, {}, kPrefix + "caf!"},
        {"empty lines are not written", {std::string("\0\0x\0", 4)}, {kPrefix + "x"}, kPrefix},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        RelayLineAssembler assembler([&](const std::string& l) { lines.push_back(l); });
        for (const std::string& read : c.reads) {
            assembler.feed(read.data(), read.size());
        }
        EXPECT_EQ(lines, c.lines) << c.name;
        EXPECT_EQ(assembler.currentLine(), c.current) << c.name;
    }
}

TEST(RelayLines, ALineThatNeverEndsIsWrittenInBoundedPieces) {
    std::vector<std::string> lines;
    RelayLineAssembler assembler([&](const std::string& l) { lines.push_back(l); });
    const std::string flood(10 * RelayLineAssembler::kMaxLineCharacters + 5, 'x');
    assembler.feed(flood.data(), flood.size());
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0].size(), kPrefix.size() + RelayLineAssembler::kMaxLineCharacters);
    EXPECT_EQ(assembler.currentLine(), kPrefix + "xxxxx");
}

TEST(OutputRelayThread, RelaysLinesAndStopsWhileBlockedOnASilentPipe) {
    platform::NativeHandle readEnd = platform::kInvalidHandle;
    platform::NativeHandle writeEnd = platform::kInvalidHandle;
    ASSERT_TRUE(platform::createPipe(readEnd, writeEnd));
    std::mutex mutex;
    std::vector<std::string> lines;
    {
        OutputRelay relay([&] { return readEnd; },
                          [&](const std::string& l) {
                              std::lock_guard<std::mutex> lock(mutex);
                              lines.push_back(l);
                          });
        ASSERT_TRUE(relay.start());
        const std::string text("scan found 4 sensors", 20);
        ASSERT_TRUE(platform::writeAll(writeEnd, text.data(), text.size()));
        ASSERT_TRUE(platform::writeAll(writeEnd, "\0", 1));
        EXPECT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return lines.size() == 1;
        }));
        // Now the relay waits in a read of a silent pipe; the destructor must end it.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto before = std::chrono::steady_clock::now();
        relay.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    }
    EXPECT_EQ(lines, std::vector<std::string>{kPrefix + "scan found 4 sensors"});
    platform::closeHandle(readEnd);
    platform::closeHandle(writeEnd);
}

TEST(OutputRelayThread, WaitsQuietlyWithoutAPipeAndStops) {
    int polls = 0;
    {
        OutputRelay relay(
            [&] {
                ++polls;
                return platform::kInvalidHandle;
            },
            nullptr);
        ASSERT_TRUE(relay.start());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // Pausing after each failure keeps it from spinning a core: a handful of polls, not millions.
    EXPECT_GT(polls, 0);
    EXPECT_LT(polls, 100);
}
