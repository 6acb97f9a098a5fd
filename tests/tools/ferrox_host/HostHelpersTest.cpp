// The host simulator's input and output helpers: what a script passes to --enable, CSV fields that
// must survive channel names with commas and quotes, and the gap counts a soak judges by.
#include "tools/ferrox-host/HostSession.h"
#include "tools/common/CaptureMetrics.h"
#include "tools/common/Fidelity.h"
#include "tools/ferrox-host/SessionOutput.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

// Frames given as their block numbers in frame-ID order; Z is a frame of zeros, S one whose value is a
// signal, not a block number.
constexpr double Z = -1.0;
constexpr double S = 0.25;

std::vector<std::uint32_t> fidelityEntries(const std::vector<double>& frames) {
    std::vector<std::uint32_t> entries;
    for (double frame : frames) {
        entries.push_back(ferrox_tools::fidelityEntry(static_cast<float>(frame), frame == Z));
    }
    return entries;
}

TEST(HostHelpers, FidelityCountsWhatBecameOfEachNumberedBlock) {
    struct Case {
        const char* name;
        std::vector<double> frames;
        std::vector<int64_t> expected; // blocks, repeated, skipped, slips, going back, restarts, zero frames
    };
    const Case cases[] = {
        {"every block once", {5, 6, 7, 8}, {4, 0, 0, 0, 0, 0, 0}},
        {"repeats and skips", {1, 2, 2, 4, 5, 5, 5, 8}, {5, 3, 3, 5, 0, 0, 0}},
        {"zero frames carry no number", {Z, 1, 2, Z, Z, 3, 4}, {4, 0, 0, 0, 0, 0, 3}},
        {"blocks lost in a stall", {1, 2, Z, 9}, {3, 0, 6, 1, 0, 0, 1}},
        {"a new companion counts from 0", {100, 101, Z, 0, 1, 2}, {5, 0, 0, 0, 0, 1, 1}},
        {"an older block after a newer one", {10, 11, 12, 11, 12, 13}, {4, 0, 0, 0, 1, 0, 0}},
        {"the counter wraps at 2^24", {16777214, 16777215, 0, 1}, {4, 0, 0, 0, 0, 0, 0}},
        {"a stray value is left out", {1, 2, S, 3}, {3, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ferrox_tools::FidelityCounts n = ferrox_tools::countFidelity(fidelityEntries(c.frames));
        EXPECT_EQ(std::vector<int64_t>(
                      {n.blocks, n.repeated, n.skipped, n.slips, n.goingBack, n.restarts, n.zeroFrames}),
                  c.expected);
    }

    // After the first second counts from its own first frame; a channel that carries a signal (here a
    // ramp like the simulator's) is no counter at all.
    const auto summary = ferrox_tools::fidelityJson(fidelityEntries({1, 1, 2, 4, 5, 6}), 3);
    EXPECT_EQ(summary["slips"], 2);
    EXPECT_EQ(summary["after_first_second"]["blocks"], 3);
    EXPECT_EQ(summary["after_first_second"]["slips"], 0);
    EXPECT_TRUE(ferrox_tools::fidelityJson(fidelityEntries({126.001, 126.002, 126.003, 127}), 0).is_null());

    // Per connection, with edges of 2 frames: what is lost where a connection or a stall begins or ends
    // is kept apart from its middle.
    struct ConnectionCase {
        const char* name;
        std::vector<double> frames;
        // per connection: first block, stalls, edge repeated, edge skipped, middle repeated, middle skipped
        std::vector<std::vector<int64_t>> expected;
    };
    const ConnectionCase connectionCases[] = {
        {"a skip at the start and at the end are edges", {3, 5, 6, 7, 8, 9, 10, 12}, {{3, 0, 0, 2, 0, 0}}},
        {"a repeat and a skip in the middle", {0, 1, 2, 3, 3, 4, 6, 7, 8, 9}, {{0, 0, 0, 0, 1, 1}}},
        {"a new companion is a new connection, a stall is not",
         {0, 1, 2, 3, 4, 5, Z, 40, 41, 42, 43, 44, 45, Z, Z, 0, 1, 2, 3, 4, 5},
         {{0, 1, 0, 34, 0, 0}, {0, 0, 0, 0, 0, 0}}},
        {"a hung companion's replacement shown at once, with no zeros between, is a new connection",
         {100, 101, 102, 102, 102, 5, 6, 7, 8, 9},
         {{100, 0, 1, 0, 1, 0}, {5, 0, 0, 0, 0, 0}}},
    };
    for (const ConnectionCase& c : connectionCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<int64_t>> found;
        for (const ferrox_tools::ConnectionCounts& n :
             ferrox_tools::countConnections(fidelityEntries(c.frames), 2)) {
            found.push_back({n.firstBlock, n.stalls, n.edges.repeated, n.edges.skipped, n.middle.repeated,
                             n.middle.skipped});
        }
        EXPECT_EQ(found, c.expected);
    }

    // The sender's punctuality from the send stamps: the stamp wraps at 1000 ms, a repeated frame or one
    // without a stamp adds nothing, and the blocks of one write share a stamp (a burst, due when its last
    // block is due). Frame i is committed at 999 + i ms: frame 3 repeats before block 4 was even sent,
    // frame 12 repeats although block 12 had been sent.
    const float none = std::numeric_limits<float>::quiet_NaN();
    std::vector<double> committed;
    for (int i = 0; i < 14; ++i) {
        committed.push_back(std::fmod(999.0 + i, 1000.0));
    }
    const auto writes = ferrox_tools::senderWritesJson(
        fidelityEntries({1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11, 12}),
        {998.5f, 999.5f, 0.5f, 0.5f, 3.0f, 3.5f, 4.0f, none, 6.0f, 8.5f, 8.5f, 8.5f, 8.5f, 9.5f}, committed,
        0, 1.0);
    EXPECT_EQ(writes["writes"], 9);
    EXPECT_EQ(writes["held_up"], 1);
    EXPECT_EQ(writes["repeats"], 2);
    EXPECT_EQ(writes["repeats_before_sent"], 1);
    EXPECT_NEAR(writes["largest_lateness_ms"].get<double>(), 1.5, 1e-4);
    // The third frame is due at 3 ms but committed at 3.8 (its tick woke, or read, late): block 3, sent
    // at 3.3, came after the frame was due, so the repeat is the sender's though the commit came later.
    const auto late = ferrox_tools::senderWritesJson(
        fidelityEntries({1, 2, 2, 3, 4}), {0.0f, 1.0f, 1.0f, 3.3f, 3.5f}, {1.0, 2.0, 3.8, 4.0, 5.0}, 0, 1.0);
    EXPECT_EQ(late["repeats"], 1);
    EXPECT_EQ(late["repeats_before_sent"], 1);
    // A sender held up for 14 periods: block 2 is written after every frame of the run was due, so each
    // of the 14 repeats is the sender's, those far from the run's end included.
    std::vector<double> heldNumbers(15, 1.0), heldCommitted;
    std::vector<float> heldStamps(15, 0.0f);
    heldNumbers.insert(heldNumbers.end(), {2.0, 3.0});
    heldStamps.insert(heldStamps.end(), {15.5f, 16.0f});
    for (std::size_t i = 0; i < heldNumbers.size(); ++i) {
        heldCommitted.push_back(1.0 + static_cast<double>(i));
    }
    const auto held =
        ferrox_tools::senderWritesJson(fidelityEntries(heldNumbers), heldStamps, heldCommitted, 0, 1.0);
    EXPECT_EQ(held["repeats"], 14);
    EXPECT_EQ(held["repeats_before_sent"], 14);
    // Block 3 is stamped 1.5 ms before the repeated frame was due, and the next write (block 4) says
    // when block 3's write returned: after the frame was due, the bytes may have landed after it too,
    // and the repeat is the sender's; before it, the block was there in time and the repeat is the
    // receiver's, listed with its times.
    for (const auto& [returned, sender] : {std::pair<float, int>{3.4f, 1}, std::pair<float, int>{1.6f, 0}}) {
        const auto slowCall = ferrox_tools::senderWritesJson(
            fidelityEntries({1, 2, 2, 3, 4}), {0.0f, 1.0f, 1.0f, 1.5f, 4.0f}, {1.0, 2.0, 3.0, 4.0, 5.0}, 0,
            1.0, {none, 0.2f, 0.2f, 1.1f, returned});
        EXPECT_EQ(slowCall["repeats_before_sent"], sender) << returned;
        EXPECT_EQ(slowCall["repeats_unexplained"].size(), 1u - sender) << returned;
    }

    // A sender whose clock runs 2 % fast keeps its own schedule: punctual by it, however far it runs
    // ahead of the device's; a hold-up of 3 ms that delays blocks 1500 to 1503 is still seen as late.
    std::vector<double> numbers, at;
    std::vector<float> stamps;
    for (int i = 0; i < 3000; ++i) {
        numbers.push_back(i);
        // Held up, the sender writes what fell due meanwhile one block after the other.
        const double sent = i >= 1500 && i < 1504 ? 1473.0 + 0.01 * (i - 1500) : i * 0.98;
        stamps.push_back(static_cast<float>(std::fmod(sent, 1000.0)));
        at.push_back(std::fmod(i * 0.98 + 2.0, 1000.0));
    }
    const auto fast = ferrox_tools::senderWritesJson(fidelityEntries(numbers), stamps, at, 0, 1.0);
    EXPECT_EQ(fast["held_up"], 3);
    EXPECT_NEAR(fast["largest_lateness_ms"].get<double>(), 3.0, 0.05);
}

} // namespace
