// The playout buffer alone, on a fake clock: arrival patterns against a device that takes one block per
// 1 ms tick. Each block carries its sequence number, so the frames show what was repeated or lost.
#include "device/PlayoutBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using QuillmarkPluginDevices::PlayoutBuffer;
using QuillmarkPluginDevices::SampleBlock;
using Clock = PlayoutBuffer::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {
// A batch of blocks that arrives together; restart marks a new connection before it.
struct Batch {
    double atMs;
    int blocks;
    bool restart = false;
};

// What the frames carried, read back from the sequence numbers.
struct Outcome {
    int64_t frames = 0, zeros = 0, stale = 0;
    int64_t repeatedAfterFirstSecond = 0, skippedAfterFirstSecond = 0, wentBack = 0;
    int64_t largestRunOfSkips = 0; // consecutive frames that each skipped blocks
    int64_t largestSkip = 0;       // blocks skipped between two frames, after the first second
    // How old the block a frame shows is (its frame time less its arrival), in ms: the median over the
    // second after the first and over the last tenth of the run.
    double ageFirstSecond = 0.0, ageLastTenth = 0.0;
    PlayoutBuffer::Statistics stats;
    PlayoutBuffer::RateNote note;
};

// Pseudo-random but fixed: the same jitter on every run.
double jitter(int64_t k, double amplitudeMs) {
    const uint64_t x = static_cast<uint64_t>(k) * 2654435761u % 1000u;
    return amplitudeMs * static_cast<double>(x) / 1000.0;
}

Outcome run(const std::vector<Batch>& batches, double seconds, int framesPerTick = 1) {
    PlayoutBuffer buffer;
    buffer.start(1000.0, milliseconds(250));
    const Clock::time_point origin = Clock::time_point{} + std::chrono::hours(1);
    auto at = [&](double ms) {
        return origin +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
    };
    Outcome out;
    std::size_t next = 0;
    double sequence = 0.0;
    double previous = -1.0;
    int64_t lastSkipFrame = -1, skipRun = 0;
    std::vector<unsigned char> wire;
    std::vector<double> arrivals{0.0}; // by sequence number
    std::vector<double> ages;
    const int64_t ticks = static_cast<int64_t>(seconds * 1000.0) / framesPerTick;
    for (int64_t tick = 1; tick <= ticks; ++tick) {
        const double nowMs = static_cast<double>(tick * framesPerTick);
        for (; next < batches.size() && batches[next].atMs <= nowMs; ++next) {
            if (batches[next].restart) {
                buffer.restart();
                previous = -1.0;
            }
            wire.assign(static_cast<std::size_t>(batches[next].blocks) * SampleBlock::kBytes, 0);
            for (int b = 0; b < batches[next].blocks; ++b) {
                sequence += 1.0;
                arrivals.push_back(batches[next].atMs);
                std::memcpy(&wire[static_cast<std::size_t>(b) * SampleBlock::kBytes], &sequence,
                            sizeof sequence);
            }
            buffer.append(wire.data(), static_cast<std::size_t>(batches[next].blocks),
                          at(batches[next].atMs));
        }
        buffer.take(framesPerTick, static_cast<int32_t>(out.frames), at(nowMs),
                    [&](int, PlayoutBuffer::Take take, const SampleBlock* block) {
                        const int64_t frame = out.frames++;
                        const bool late = frame >= 1000;
                        if (take != PlayoutBuffer::Take::Block) {
                            ++out.zeros;
                            out.stale += take == PlayoutBuffer::Take::Stale ? 1 : 0;
                            return;
                        }
                        const double value = block->values[0];
                        ages.push_back(nowMs - arrivals[static_cast<std::size_t>(value)]);
                        if (previous >= 0.0) {
                            const double step = value - previous;
                            out.wentBack += step < 0.0 ? 1 : 0;
                            out.repeatedAfterFirstSecond += (late && step == 0.0) ? 1 : 0;
                            if (step > 1.0) {
                                out.skippedAfterFirstSecond += late ? static_cast<int64_t>(step - 1.0) : 0;
                                out.largestSkip =
                                    std::max(out.largestSkip, late ? static_cast<int64_t>(step - 1.0) : 0);
                                skipRun = lastSkipFrame == frame - 1 ? skipRun + 1 : 1;
                                out.largestRunOfSkips = std::max(out.largestRunOfSkips, skipRun);
                                lastSkipFrame = frame;
                            }
                        }
                        previous = value;
                    });
        const auto note = buffer.takeRateNote();
        if (note.fresh) {
            out.note = note;
        }
    }
    out.stats = buffer.statistics();
    auto median = [](std::vector<double> v) {
        if (v.empty()) {
            return 0.0;
        }
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    if (ages.size() >= 2000) {
        out.ageFirstSecond = median(std::vector<double>(ages.begin() + 1000, ages.begin() + 2000));
        out.ageLastTenth = median(
            std::vector<double>(ages.end() - static_cast<std::ptrdiff_t>(ages.size() / 10), ages.end()));
    }
    return out;
}

std::vector<Batch> paced(double seconds, double periodMs, double phaseMs, double jitterMs, int every = 1,
                         double fromMs = 0.0) {
    std::vector<Batch> batches;
    for (int64_t k = 0; fromMs + static_cast<double>(k) * periodMs * every < seconds * 1000.0; ++k) {
        batches.push_back(
            {fromMs + phaseMs + static_cast<double>(k) * periodMs * every + jitter(k, jitterMs), every});
    }
    return batches;
}
} // namespace

TEST(PlayoutBuffer, ArrivalPatterns) {
    constexpr double kSeconds = 30.0;
    struct Case {
        std::string name;
        std::vector<Batch> batches;
        std::function<void(const Outcome&)> check;
    };
    auto forced = [](double ppm) { return std::fabs(ppm) * kSeconds * 1000.0 / 1e6; };
    std::vector<Case> cases;

    cases.push_back({"paced with jitter", paced(kSeconds, 1.0, 0.3, 0.6), [](const Outcome& o) {
                         EXPECT_EQ(o.repeatedAfterFirstSecond, 0);
                         EXPECT_EQ(o.skippedAfterFirstSecond, 0);
                         EXPECT_LE(o.stats.depthMedian, 3u);
                     }});
    cases.push_back({"paced, late by up to 3 ms", paced(kSeconds, 1.0, 0.3, 3.0),
                     [](const Outcome& o) { EXPECT_EQ(o.skippedAfterFirstSecond, 0); }});
    // A sender held up for `forMs` at `atMs`, which then writes what was due at once.
    auto holdUp = [](std::vector<Batch>& batches, double atMs, double forMs) {
        for (Batch& b : batches) {
            if (b.atMs >= atMs && b.atMs < atMs + forMs) {
                b.atMs = atMs + forMs;
            }
        }
    };
    {
        // Held up for 2.2 ms every 5 s (longer than the level memory): the first hold-up may cost a repeat,
        // the buffer keeps the depth, and the later ones cost nothing.
        auto batches = paced(kSeconds, 1.0, 0.3, 0.1);
        for (int s = 1; s < kSeconds; s += 5) {
            holdUp(batches, s * 1000.0, 2.2);
        }
        cases.push_back({"paced, held up every 5 s", batches, [](const Outcome& o) {
                             EXPECT_LE(o.repeatedAfterFirstSecond + o.skippedAfterFirstSecond, 3);
                             EXPECT_LE(o.stats.depthMedian, 5u);
                         }});
    }
    {
        // A short hold-up, then longer ones: the depth the repeats added is kept as a whole, not given
        // back a few seconds later as a lost block.
        auto batches = paced(kSeconds, 1.0, 0.3, 0.1);
        holdUp(batches, 2000.0, 2.5);
        for (int s = 8; s < kSeconds; s += 6) {
            holdUp(batches, s * 1000.0, 6.0);
        }
        cases.push_back({"paced, held up 2.5 ms, then 6 ms every 6 s", batches, [](const Outcome& o) {
                             EXPECT_EQ(o.skippedAfterFirstSecond, 0);
                             EXPECT_LE(o.repeatedAfterFirstSecond, 6);
                         }});
    }
    for (int forMs : {60, 150}) {
        // A sender held up and skipping what fell due meanwhile, as one far behind its schedule does: the
        // blocks it never sent are lost across the gap, which says nothing of its rate. The frames of
        // each gap repeat; nothing else slips.
        auto batches = paced(kSeconds, 1.0, 0.3, 0.2);
        int gaps = 0;
        for (int atMs = 1700; atMs < kSeconds * 1000; atMs += 1900, ++gaps) {
            batches.erase(
                std::remove_if(batches.begin(), batches.end(),
                               [&](const Batch& b) { return b.atMs >= atMs && b.atMs < atMs + forMs; }),
                batches.end());
        }
        cases.push_back({"held up " + std::to_string(forMs) + " ms every 1.9 s, skipping", batches,
                         [=](const Outcome& o) {
                             EXPECT_FALSE(o.note.fresh);
                             EXPECT_LE(o.skippedAfterFirstSecond, 3);
                             EXPECT_LE(o.repeatedAfterFirstSecond, gaps * (forMs + 2));
                         }});
    }
    {
        // What a sender held back, or what waited in the connection, arrives in the stream's first moments;
        // it is no measure of the stream's rate.
        auto batches = paced(kSeconds, 1.0, 0.3, 0.2, 1, 2.0);
        batches.insert(batches.begin(), {Batch{0.5, 2}, Batch{1.5, 200}});
        cases.push_back({"backlog at the start", batches, [](const Outcome& o) {
                             EXPECT_FALSE(o.note.fresh);
                             EXPECT_EQ(o.skippedAfterFirstSecond, 0);
                             EXPECT_LE(o.stats.depthMedian, 3u);
                         }});
    }
    for (int burst : {10, 43}) {
        cases.push_back({"bursts of " + std::to_string(burst), paced(kSeconds, 1.0, 0.5, 0.8, burst),
                         [](const Outcome& o) {
                             EXPECT_EQ(o.repeatedAfterFirstSecond, 0);
                             EXPECT_EQ(o.skippedAfterFirstSecond, 0);
                         }});
    }
    // Drift of any size up to 10 %: taken up evenly, one block at a time, with the latency flat, and no
    // more slips than the drift forces.
    for (double ppm : {500.0, -500.0, 1000.0, -1000.0, 5000.0, -5000.0, 20000.0, -20000.0, 40000.0, -40000.0,
                       100000.0, -100000.0}) {
        cases.push_back({"drift " + std::to_string(ppm) + " ppm",
                         paced(kSeconds, 1.0 / (1.0 + ppm / 1e6), 0.4, 0.3), [=](const Outcome& o) {
                             EXPECT_LE(static_cast<double>(o.stats.slips), forced(ppm) + 3.0);
                             EXPECT_LE(o.largestSkip, 1);
                             EXPECT_LE(o.largestRunOfSkips, 1);
                             EXPECT_EQ(o.wentBack, 0);
                             EXPECT_NEAR(o.ageLastTenth, o.ageFirstSecond, 3.0);
                             // Logged as off the device rate only where the level alone would not do.
                             if (std::fabs(ppm) != 1000.0) {
                                 EXPECT_EQ(o.note.fresh, std::fabs(ppm) > 1000.0);
                             }
                             if (ppm > 0.0) {
                                 EXPECT_EQ(o.repeatedAfterFirstSecond, 0);
                             } else {
                                 EXPECT_EQ(o.skippedAfterFirstSecond, 0);
                             }
                         }});
    }
    // The same in bursts, as a base station of another rate may send them.
    for (double rate : {1111.0, 900.0}) {
        cases.push_back({"rate " + std::to_string(rate) + " in bursts of 10",
                         paced(kSeconds, 1000.0 / rate, 0.2, 0.2, 10), [=](const Outcome& o) {
                             EXPECT_TRUE(o.note.fresh);
                             EXPECT_NEAR(o.note.blocksPerSecond, rate, 5.0);
                             EXPECT_EQ(o.wentBack, 0);
                             EXPECT_LE(o.largestSkip, 1);
                             EXPECT_LE(static_cast<double>(o.stats.slips),
                                       std::fabs(rate - 1000.0) * kSeconds + 3.0);
                             EXPECT_NEAR(o.ageLastTenth, o.ageFirstSecond, 3.0);
                         }});
    }
    {
        auto batches = paced(5.0, 1.0, 0.3, 0.2);
        auto after = paced(kSeconds, 1.0, 0.3, 0.2, 1, 7000.0);
        batches.insert(batches.end(), after.begin(), after.end());
        cases.push_back({"stall of 2 s", batches, [](const Outcome& o) {
                             EXPECT_NEAR(static_cast<double>(o.stale), 1750.0, 20.0);
                             EXPECT_EQ(o.wentBack, 0);
                         }});
    }
    {
        auto batches = paced(10.0, 1.0, 0.3, 0.2);
        auto after = paced(kSeconds, 1.0, 0.6, 0.2, 1, 10000.0);
        after.front().restart = true;
        batches.insert(batches.end(), after.begin(), after.end());
        cases.push_back({"reconnect", batches, [](const Outcome& o) {
                             EXPECT_EQ(o.wentBack, 0);
                             EXPECT_LE(o.stats.slips, 3u);
                             EXPECT_LE(o.stats.depthMedian, 3u);
                         }});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = run(c.batches, kSeconds);
        EXPECT_EQ(o.frames, static_cast<int64_t>(kSeconds * 1000.0));
        // Every block is delivered, dropped or still waiting; every frame got a block or zeros.
        EXPECT_LE(o.stats.delivered + o.stats.dropped, o.stats.received);
        EXPECT_GE(o.stats.delivered + o.stats.dropped + PlayoutBuffer::kCapacity, o.stats.received);
        c.check(o);
    }
}

// Catch-up frames take consecutive blocks: a tick that writes ten frames replays ten blocks.
TEST(PlayoutBuffer, CatchUpFramesReplayTheStream) {
    const Outcome o = run(paced(5.0, 1.0, 0.3, 0.2), 5.0, 10);
    EXPECT_EQ(o.wentBack, 0);
    EXPECT_EQ(o.repeatedAfterFirstSecond, 0);
    EXPECT_EQ(o.skippedAfterFirstSecond, 0);
}
