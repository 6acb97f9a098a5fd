// The host simulator's input and output helpers: what a script passes to --enable, CSV fields that
// must survive channel names with commas and quotes, and the gap counts a soak judges by.
#include "tools/ferrox-host/HostSession.h"
#include "tools/common/CaptureMetrics.h"
#include "tools/ferrox-host/SessionOutput.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace {

using ferrox_host::ChannelSelection;

TEST(HostHelpers, ChannelSelectionAcceptsAllNoneOrAList) {
    struct Case {
        const char* text;
        bool ok;
        ChannelSelection::Kind kind;
        std::vector<int> indices;
    };
    const Case cases[] = {
        {"all", true, ChannelSelection::Kind::All, {}},
        {"none", true, ChannelSelection::Kind::None, {}},
        {"0", true, ChannelSelection::Kind::List, {0}},
        {"3,0,12", true, ChannelSelection::Kind::List, {3, 0, 12}},
        {"", false, {}, {}},
        {"1,,2", false, {}, {}},
        {"1,", false, {}, {}},
        {"-1", false, {}, {}},
        {"1 2", false, {}, {}},
        {"All", false, {}, {}},
        {"99999999999", false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ChannelSelection selection;
        std::string error;
        EXPECT_EQ(ferrox_host::parseChannelSelection(c.text, selection, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(selection.kind, c.kind);
            EXPECT_EQ(selection.indices, c.indices);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    ChannelSelection list;
    std::string error;
    ASSERT_TRUE(ferrox_host::parseChannelSelection("1,4", list, error));
    EXPECT_TRUE(list.includes(4));
    EXPECT_FALSE(list.includes(2));
}

TEST(HostHelpers, CsvQuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(ferrox_host::csvField("Sensor 1 EMG"), "Sensor 1 EMG");
    EXPECT_EQ(ferrox_host::csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(ferrox_host::csvField("say \"hi\""), "\"say \"\"hi\"\"\"");

    ferrox_host::CaptureResult capture;
    capture.columns = {"x", "y,z"};
    capture.rows = {{7, {1.5f, -0.1f}}};
    std::ostringstream out;
    ferrox_host::writeCsv(capture, out);
    // Nine significant digits, so every float comes back exactly from its text.
    EXPECT_EQ(out.str(), "frame,x,\"y,z\"\n7,1.5,-0.100000001\n");
}

TEST(HostHelpers, RunCounterCountsStretchesAndTheLongest) {
    struct Case {
        const char* frames; // '1': the frame is in a stretch (zeros, missing)
        int64_t runs;
        int64_t longest;
    };
    const Case cases[] = {
        {"", 0, 0},     {"0000", 0, 0}, {"1", 1, 1},         {"1111", 1, 4},
        {"0110", 1, 2}, {"1011", 2, 2}, {"110111010", 3, 3}, {"0101010", 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frames);
        ferrox_tools::RunCounter counter;
        for (const char* f = c.frames; *f; ++f) {
            counter.add(*f == '1');
        }
        EXPECT_EQ(counter.runs(), c.runs);
        EXPECT_EQ(counter.longest(), c.longest);
    }
}

} // namespace
