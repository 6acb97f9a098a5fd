#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrox_tools {

// What became of a sender's numbered blocks in the frames a host received. The companion simulator
// with FERROX_SIM_SEQUENCE=1 numbers every block it writes (modulo 2^24) in one value; each frame, in
// frame-ID order, is reduced to the number it carried, and consecutive frames that carry one compare
// their numbers:
//   the same              a repeat: the frame carries the block the frame before it carried
//   one more              as it should be
//   more than one more    a skip: the blocks in between reached no frame
//   fewer                 a restart when frames of zeros lie between (the stream was down, and a new
//                         companion counts from 0 again), else going back (an older block after a newer)
// A slip is one place where a repeat or a skip happens. Frames of zeros carry no number (no live data)
// and are left out, as are frames whose value is no block number at all.
struct FidelityCounts {
    int64_t frames = 0;      // frames that carried a block number
    int64_t blocks = 0;      // distinct numbers among them; each stream after a restart counts anew
    int64_t repeated = 0;    // frames
    int64_t skipped = 0;     // blocks
    int64_t largestSkip = 0; // blocks skipped at once, between two frames
    int64_t slips = 0;
    int64_t goingBack = 0;
    int64_t restarts = 0;
    int64_t zeroFrames = 0;
    int64_t notNumbered = 0; // frames whose value is not a whole number from 0 to 2^24 - 1
};

constexpr std::uint32_t kBlockNumberModulus = std::uint32_t{1} << 24;

// One frame's entry for countFidelity: its block number, or a mark for a frame of zeros or a value that
// is no block number.
std::uint32_t fidelityEntry(float value, bool zeroFrame);

// The counts over entries[from...].
FidelityCounts countFidelity(const std::vector<std::uint32_t>& entries, std::size_t from = 0);

// The counts over all the entries and over those from settledFrom on (the frames after the first
// second, when the stream has settled), as {"frames", "blocks", ..., "after_first_second": {...}};
// settledFrom past the end gives null there. Null as a whole unless at least 99% of the frames that
// are not zeros carry a block number: then the value is something else (a signal), not a counter.
nlohmann::json fidelityJson(const std::vector<std::uint32_t>& entries, std::size_t settledFrom);

// How punctually the sender wrote, read from the send stamps (ms modulo 1000, NaN where a frame carries
// none) of the numbered blocks from `from` on, and the frames' commit times (ms modulo 1000, on the
// same clock). Every block of one write carries the same stamp, so a change of stamp between
// consecutive numbers is a new write. A write's lateness is its stamp against the sender's own
// schedule: block n due n periods after an origin, taken as the earliest one the writes within
// kScheduleWindow blocks of it allow (so a drifting clock does not count as lateness); a write over
// 1 ms late is a hold-up. A repeated frame whose next block was sent only after the frame was due (on
// the schedule the commits allow) is the stream's lateness, not the receiver's: that block was not
// there to be shown. `returned` (empty, or one per entry, NaN where none) is when the sender's
// previous write returned, as each frame's block carries it: a write's bytes are in the socket by
// then, so a repeat whose next block's write returned only after the frame was due is the sender's
// too (a sender preempted inside its write; a system whose socket calls wait on a server first). The
// other repeats are listed (at most kMostUnexplainedListed) with how long before the due time their
// next block was stamped and how late the frame was committed. As
// {"writes", "held_up", "repeats", "repeats_before_sent", "repeats_unexplained", "lateness_p99_ms",
//  "largest_lateness_ms"}; null when no write is seen.
nlohmann::json senderWritesJson(const std::vector<std::uint32_t>& entries, const std::vector<float>& stamps,
                                const std::vector<double>& committedMs, std::size_t from, double periodMs,
                                const std::vector<float>& returned = {});

// What became of the numbered blocks of each connection, one sender's frames: a connection begins at
// the first numbered frame and at every restart (above). Frames of zeros inside it are stalls, which
// split it into stretches. A block lost or repeated where a stretch begins or ends (within edgeFrames
// of it, or across the stall) counts at the connection's edges: the backlog given up when the
// connection is taken, and a sender that ends or stops mid-write, are not the stream's fidelity. What
// lies between the edges is its middle, whose repeats and skips are the receiver's and the stream's.
struct ConnectionCounts {
    std::size_t first = 0; // entry of its first numbered frame
    std::size_t last = 0;  // and of its last
    std::uint32_t firstBlock = 0;
    std::uint32_t lastBlock = 0;
    int64_t stalls = 0;
    FidelityCounts edges;  // repeated, skipped, slips
    FidelityCounts middle; // frames, repeated, skipped, slips, goingBack
    // The middle as entries [middleFrom, middleTo); empty when the connection is all edges.
    std::size_t middleFrom = 0;
    std::size_t middleTo = 0;
};

std::vector<ConnectionCounts> countConnections(const std::vector<std::uint32_t>& entries,
                                               std::size_t edgeFrames);

// countConnections as a JSON array, each connection with its times (entries x period, from the first
// frame), its edges and middle, the sender's punctuality over the middle and over the frames before it
// (senderWritesJson; "middle_sender", "lead_sender") and the latency's median in the first and the last
// second of the middle.
nlohmann::json connectionsJson(const std::vector<std::uint32_t>& entries, const std::vector<float>& stamps,
                               const std::vector<double>& committedMs, double periodMs,
                               std::size_t edgeFrames, const std::vector<float>& returned = {});

constexpr std::uint32_t kScheduleWindow = 200;
constexpr double kInFlightMs = 0.1;
constexpr std::size_t kMostUnexplainedListed = 8;

} // namespace ferrox_tools
