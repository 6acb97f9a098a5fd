// The companion's console: byte rules of the line assembler, and the relay thread without a pipe. A real
// companion's flood and its silent pipe are in CompanionFaultTest.cpp.
#include "companion/OutputRelay.h"
#include "companion/RelayLineAssembler.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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
