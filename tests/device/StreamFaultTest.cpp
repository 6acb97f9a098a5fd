// A hostile or broken companion on the sample stream, and a host that changes properties from two threads
// while it captures. Every case ends with the capture stopping and the device going away with no thread
// left behind; every frame must carry the values of one sent block, whole, or zeros.
#include "tests/device/DeviceTestSupport.h"

#include "platform/Os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace ferrox_test;
using QuillmarkPluginDevices::FerroxEMG;
using QuillmarkPluginDevices::SampleBlock;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr const char* kStalled =
    "[FerroxEMG] Sample stream stalled (no block for 250 ms); frames carry zeros until blocks arrive again";
constexpr const char* kResumedPrefix = "[FerroxEMG] Sample stream resumed after ";
constexpr const char* kEndedPrefix = "[FerroxEMG] Sample stream ended (";

// Threads of this process, or 0 where the system does not tell.
std::size_t threadCount() {
    if (platform::kIsWindows) {
        return 0;
    }
    // A runtime may start a helper thread of its own with the first thread (ThreadSanitizer does):
    // have that happen before the first count.
    static const bool warmed = (std::thread([] {}).join(), true);
    (void)warmed;
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++n;
    }
    return ec ? 0 : n;
}

// Destroying the device must end its threads at once; compared with the count taken before the rig.
void expectCleanEnd(DeviceRig& rig, std::size_t threadsBefore) {
    EXPECT_TRUE(rig.device->StopCapture());
    const auto before = Clock::now();
    rig.device.reset();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
    rig.client.reset();
    if (threadsBefore != 0) {
        EXPECT_EQ(threadCount(), threadsBefore);
    }
}

struct Frame {
    int32_t id = 0;
    std::vector<float> samples;
};

// Every committed frame the host still holds, oldest first, after checking the IDs have no gap.
std::vector<Frame> committedFrames(const FerroxEMG& device) {
    std::vector<Frame> frames;
    const int32_t last = device.GetMostRecentFrameID();
    EXPECT_EQ(static_cast<int64_t>(last) + 1, device.CommittedFrameCount());
    const int32_t first = std::max<int32_t>(0, last - device.FrameBufferCapacity() + 1);
    for (int32_t id = first; id <= last; ++id) {
        Frame f;
        f.id = id;
        int64_t committedNs = 0;
        EXPECT_TRUE(device.ReadFrame(id, f.samples, committedNs)) << "frame " << id;
        frames.push_back(std::move(f));
    }
    return frames;
}

std::vector<float> newestFrame(const FerroxEMG& device) {
    std::vector<float> samples;
    int64_t committedNs = 0;
    device.ReadFrame(device.GetMostRecentFrameID(), samples, committedNs);
    return samples;
}

bool allZero(const std::vector<float>& samples) {
    return std::all_of(samples.begin(), samples.end(), [](float v) { return v == 0.0f; });
}

// A frame of rampBlock(base) for the first channels: sample i is sample 0 plus i.
bool wholeRamp(const std::vector<float>& samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] != samples[0] + static_cast<float>(i)) {
            return false;
        }
    }
    return !samples.empty();
}

void expectEveryFrameWholeOrZero(const std::vector<Frame>& frames) {
    for (const Frame& f : frames) {
        if (!allZero(f.samples)) {
            ASSERT_TRUE(wholeRamp(f.samples)) << "frame " << f.id << " mixes blocks or is shifted";
        }
    }
}

// Blocks of rampBlock(first + j), j = 0..count-1, back to back.
std::vector<unsigned char> rampBlocks(double first, int count) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(count) * SampleBlock::kBytes);
    for (int j = 0; j < count; ++j) {
        const std::vector<double> values = rampBlock(first + j);
        std::memcpy(bytes.data() + static_cast<std::size_t>(j) * SampleBlock::kBytes, values.data(),
                    SampleBlock::kBytes);
    }
    return bytes;
}

// Writes 64 KiB batches of numbered ramp blocks until `stop`; a batch once begun is finished unless
// `abort` is raised, so the stream always ends on a block boundary. Returns the blocks sent.
int64_t flood(StreamClient& client, const std::atomic<bool>& stop, const std::atomic<bool>& abort,
              int64_t firstNumber = 1) {
    constexpr int kBatch = 64;
    int64_t number = firstNumber;
    while (!stop.load()) {
        const std::vector<unsigned char> batch = rampBlocks(static_cast<double>(number), kBatch);
        if (!client.sendUnlessStopped(batch.data(), batch.size(), abort)) {
            break;
        }
        number += kBatch;
    }
    return number - firstNumber;
}

// Sends two blocks marked in every channel and waits, at most `limit` from the send, for a frame to carry
// the mark once the device has caught up with the stream. Every frame committed since the send is looked
// at: a mark that waited behind a deep buffer is played out long after it arrived, and the frames after it
// then turn to zeros at once, so the newest frame alone can miss it.
bool markReachesTheFrames(DeviceRig& rig, milliseconds limit = milliseconds(5000)) {
    constexpr double kMark = -1.0e6;
    const auto sent = Clock::now();
    int32_t next = rig.device->GetMostRecentFrameID() + 1;
    const std::vector<unsigned char> pair = rampBlocks(kMark, 1);
    rig.client->send(pair.data(), pair.size());
    rig.client->send(pair.data(), pair.size());
    return eventually(
        [&] {
            const int32_t last = rig.device->GetMostRecentFrameID();
            next = std::max(next, last - rig.device->FrameBufferCapacity() + 1);
            for (; next <= last; ++next) {
                std::vector<float> samples;
                int64_t committedNs = 0;
                if (rig.device->ReadFrame(next, samples, committedNs) && !samples.empty() &&
                    samples[0] == static_cast<float>(kMark)) {
                    return true;
                }
            }
            return false;
        },
        limit - std::chrono::duration_cast<milliseconds>(Clock::now() - sent));
}

// Raises the flags and joins the threads however the test leaves its scope; a test that gets to the
// end joins them itself.
struct ThreadGuard {
    std::atomic<bool>& stop;
    std::atomic<bool>& abort;
    std::vector<std::thread*> threads;
    ~ThreadGuard() {
        stop = true;
        abort = true;
        for (std::thread* t : threads) {
            if (t->joinable()) {
                t->join();
            }
        }
    }
};

double fromBits(uint64_t bits) {
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Random blocks whose values are doubles with a float conversion easy to get wrong (NaNs, one with a
// payload, infinities, denormals, the largest denormal, range edges, just past the float range by more
// than half an ulp), plain numbers or random bits. The first block is all ones: a NaN in every channel.
std::vector<SampleBlock> garbageBlocks(std::mt19937_64& rng, std::size_t count) {
    using D = std::numeric_limits<double>;
    using F = std::numeric_limits<float>;
    const double fmax = static_cast<double>(F::max());
    const double fdenorm = static_cast<double>(F::denorm_min());
    const double awkward[] = {D::quiet_NaN(),
                              D::signaling_NaN(),
                              -D::quiet_NaN(),
                              fromBits(0x7FF4DEADBEEF0001ull),
                              fromBits(~0ull),
                              D::infinity(),
                              -D::infinity(),
                              D::denorm_min(),
                              D::min() - D::denorm_min(),
                              -D::denorm_min(),
                              -0.0,
                              D::max(),
                              D::lowest(),
                              fmax,
                              std::nextafter(fmax, D::infinity()),
                              fmax * 1.0000001,
                              static_cast<double>(F::min()),
                              fdenorm,
                              fdenorm / 3.0};
    std::uniform_real_distribution<double> plain(-1000.0, 1000.0);
    std::vector<SampleBlock> blocks(count);
    std::memset(blocks[0].values.data(), 0xFF, SampleBlock::kBytes);
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        for (double& value : blocks[b].values) {
            const auto kind = rng() % 4;
            value = kind == 0   ? awkward[rng() % std::size(awkward)]
                    : kind == 1 ? plain(rng)
                                : fromBits(rng());
        }
    }
    return blocks;
}

bool sameFloat(float a, float b) {
    uint32_t x = 0;
    uint32_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return std::isnan(a) ? std::isnan(b) : x == y;
}

// The index of the sent block a frame carries (all 128 channels, in channel ID order), or -1.
int matchingBlock(const std::vector<float>& samples, const std::vector<SampleBlock>& blocks) {
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        bool same = samples.size() == SampleBlock::kValues;
        for (std::size_t k = 0; same && k < samples.size(); ++k) {
            same = sameFloat(samples[k], static_cast<float>(blocks[b].values[k]));
        }
        if (same) {
            return static_cast<int>(b);
        }
    }
    return -1;
}

} // namespace

TEST(StreamFaults, GarbageBlocksInRandomWritesArriveWholeAndBitExact) {
    const std::size_t threads = threadCount();
    DeviceRig rig(static_cast<int>(SampleBlock::kValues));
    rig.newestSample();
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();

    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<SampleBlock> blocks = garbageBlocks(rng, 400);
    std::vector<unsigned char> bytes(blocks.size() * SampleBlock::kBytes);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        std::memcpy(bytes.data() + b * SampleBlock::kBytes, blocks[b].values.data(), SampleBlock::kBytes);
    }
    std::uniform_int_distribution<std::size_t> piece(1, 5000);
    for (std::size_t offset = 0; offset < bytes.size();) {
        const std::size_t n = std::min(piece(rng), bytes.size() - offset);
        rig.client->send(bytes.data() + offset, n);
        offset += n;
        std::this_thread::sleep_for(milliseconds(1));
    }
    // Long enough for the last blocks to be read, short of the stall limit.
    std::this_thread::sleep_for(milliseconds(150));
    ASSERT_TRUE(rig.device->StopCapture());

    int previous = -1;
    int distinct = 0;
    for (const Frame& f : committedFrames(*rig.device)) {
        if (allZero(f.samples)) {
            continue;
        }
        const int b = matchingBlock(f.samples, blocks);
        ASSERT_GE(b, 0) << "frame " << f.id << " is not one sent block";
        ASSERT_GE(b, previous) << "frame " << f.id << " went back to an older block";
        distinct += b != previous ? 1 : 0;
        previous = b;
    }
    // The last frames showed the second-newest block, and the capture followed the stream on the way.
    EXPECT_EQ(previous, static_cast<int>(blocks.size()) - 2);
    EXPECT_GE(distinct, 10);
    expectCleanEnd(rig, threads);
}

// A flood far above the rate, in one capture or with the capture stopped and restarted in the middle of
// it (the writer then blocks on a socket nobody reads, which must not hold the stop up): afterwards the
// frames show the freshest block, and every frame carries one whole block or zeros.
TEST(StreamFaults, AFloodFarAboveTheRateStillShowsTheFreshestBlockWholeAcrossARestart) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "capture restarted during the flood" : "one capture");
        const std::size_t threads = threadCount();
        DeviceRig rig(4);
        ASSERT_TRUE(rig.device->StartCapture());
        rig.connectStream();

        std::atomic<bool> stop{false};
        std::atomic<bool> abort{false};
        std::atomic<int64_t> sent{0};
        std::thread writer([&] { sent = flood(*rig.client, stop, abort); });
        ThreadGuard guard{stop, abort, {&writer}};
        if (restart) {
            std::this_thread::sleep_for(milliseconds(300));
            EXPECT_TRUE(rig.device->StopCapture());
            std::this_thread::sleep_for(milliseconds(100));
            ASSERT_TRUE(rig.device->StartCapture());
            std::this_thread::sleep_for(milliseconds(300));
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        stop = true;
        writer.join();
        if (!restart) {
            EXPECT_GT(sent.load(), 5000) << "the flood was not far above 1000 blocks a second";
        }
        EXPECT_TRUE(rig.device->connected());

        EXPECT_TRUE(markReachesTheFrames(rig, milliseconds(restart ? 5000 : 2000)))
            << "the frames lag behind the stream after " << sent.load() << " blocks";
        ASSERT_TRUE(rig.device->StopCapture());
        expectEveryFrameWholeOrZero(committedFrames(*rig.device));
        expectCleanEnd(rig, threads);
    }
}

TEST(StreamFaults, APartialBlockIsCompletedAcrossACaptureRestart) {
    const std::size_t threads = threadCount();
    DeviceRig rig(4);
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    const std::vector<unsigned char> bytes = rampBlocks(100.0, 4);
    constexpr std::size_t kCut = 2 * SampleBlock::kBytes + 500;
    rig.client->send(bytes.data(), kCut);
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() == 2; }));
    // Give the receiver time to take the 500 bytes of the third block too.
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(rig.device->StopCapture());
    ASSERT_TRUE(rig.device->StartCapture());
    rig.client->send(bytes.data() + kCut, bytes.size() - kCut);

    // The restart emptied the queue; the third and fourth blocks follow, still on their boundaries.
    eventually([&] { return rig.device->blockQueue().size() == 2; }, milliseconds(2000));
    SampleBlock oldest;
    if (rig.device->blockQueue().at(0, oldest)) {
        EXPECT_EQ(oldest.values[0], 102.0)
            << "the bytes read before the restart were dropped: the stream is shifted";
    }
    ASSERT_EQ(rig.device->blockQueue().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SampleBlock block;
        ASSERT_TRUE(rig.device->blockQueue().at(i, block));
        EXPECT_EQ(block.values[0], 102.0 + static_cast<double>(i)) << i;
        EXPECT_EQ(block.values[127], 229.0 + static_cast<double>(i)) << i;
    }
    expectCleanEnd(rig, threads);
}

TEST(StreamFaults, AStallTurnsFramesToZerosAndIsLoggedOnceEachWay) {
    const std::size_t threads = threadCount();
    DeviceRig rig(4);
    const auto captureStart = Clock::now();
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();

    double number = 1000.0;
    auto feed = [&](milliseconds duration) {
        for (const auto until = Clock::now() + duration; Clock::now() < until;) {
            rig.client->sendBlock(rampBlock(number));
            number += 1.0;
            std::this_thread::sleep_for(milliseconds(1));
        }
    };
    feed(milliseconds(500));
    const auto gapStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double gapMs = std::chrono::duration<double, std::milli>(Clock::now() - gapStart).count();
    feed(milliseconds(500));
    ASSERT_TRUE(rig.device->StopCapture());
    const double captureMs = std::chrono::duration<double, std::milli>(Clock::now() - captureStart).count();

    const auto stats = rig.device->captureStatistics();
    EXPECT_NEAR(static_cast<double>(stats.staleFrames), gapMs - 250.0, 300.0);
    EXPECT_EQ(rig.countLogged("[FerroxEMG] Sample stream stalled"), 1);
    EXPECT_TRUE(rig.logged(kStalled));
    ASSERT_EQ(rig.countLogged(kResumedPrefix), 1);
    for (const auto& entry : rig.device->LoggedMessages()) {
        if (entry.text.rfind(kResumedPrefix, 0) == 0) {
            EXPECT_EQ(entry.level, 0);
            const std::string rest = entry.text.substr(std::strlen(kResumedPrefix));
            EXPECT_NE(rest.find(" ms without blocks"), std::string::npos) << entry.text;
            EXPECT_NEAR(std::stod(rest), gapMs, 300.0) << entry.text;
        }
    }
    // The frame count still follows the clock: a stall is frames of zeros, not missing frames. Frames the
    // device had to skip when the machine held it up are counted apart, and are the scheduler's doing.
    const auto frames = committedFrames(*rig.device);
    EXPECT_NEAR(static_cast<double>(rig.device->CommittedFrameCount() + stats.skippedFrames), captureMs,
                0.03 * captureMs);
    expectEveryFrameWholeOrZero(frames);

    // The stall is one run of zeros between live frames; live again after it, with newer blocks.
    std::size_t runStart = 0;
    std::size_t runLength = 0;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t j = i;
        while (j < frames.size() && allZero(frames[j].samples)) {
            ++j;
        }
        if (j - i > runLength) {
            runStart = i;
            runLength = j - i;
        }
        i = j + 1;
    }
    EXPECT_NEAR(static_cast<double>(runLength), static_cast<double>(stats.staleFrames), 10.0);
    ASSERT_GT(runStart, 0u);
    ASSERT_LT(runStart + runLength, frames.size());
    const float before = frames[runStart - 1].samples[0];
    const float after = frames.back().samples[0];
    EXPECT_GT(before, 1000.0f);
    EXPECT_GT(after, before);
    expectCleanEnd(rig, threads);
}

TEST(StreamFaults, ResetOrCloseEndsTheStreamAndAppRunModeTakesTheNextOne) {
    struct Case {
        const char* name;
        void (StreamClient::*end)();
        const char* why;
    };
    const Case cases[] = {
        {"reset", &StreamClient::reset, "connection lost"},
        {"close", &StreamClient::close, "closed by the companion"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t threads = threadCount();
        DeviceRig rig(4);
        rig.newestSample();
        ASSERT_TRUE(rig.device->StartCapture());
        rig.connectStream();
        const std::vector<unsigned char> first = rampBlocks(100.0, 3);
        // Two whole blocks and the start of a third that never ends.
        rig.client->send(first.data(), 2 * SampleBlock::kBytes + 300);
        ASSERT_TRUE(eventually([&] {
            const auto f = newestFrame(*rig.device);
            return !f.empty() && f[0] == 100.0f;
        }));

        ((*rig.client).*c.end)();
        ASSERT_TRUE(eventually([&] { return !rig.device->connected(); }));
        EXPECT_EQ(rig.device->blockQueue().size(), 0u);
        // Wine hands an abortive close within one process over as an orderly end of stream, so there
        // either way of ending counts, as long as the stream's end is logged exactly once.
        EXPECT_TRUE(eventually([&] {
            return rig.countLogged(std::string(kEndedPrefix) + c.why + ")") == 1 ||
                   (platform::kIsWindows && rig.countLogged(kEndedPrefix) == 1);
        }));
        // Frames carry zeros from now on, for as long as the companion stays away.
        ASSERT_TRUE(eventually([&] { return allZero(newestFrame(*rig.device)); }));
        const int32_t zerosFrom = rig.device->GetMostRecentFrameID();
        std::this_thread::sleep_for(milliseconds(50));

        rig.connectStream();
        const std::vector<unsigned char> next = rampBlocks(500.0, 3);
        rig.client->send(next.data(), next.size());
        ASSERT_TRUE(eventually([&] {
            const auto f = newestFrame(*rig.device);
            return !f.empty() && f[0] == 501.0f;
        })) << "the new connection's blocks are not on their own boundaries";
        ASSERT_TRUE(rig.device->StopCapture());

        const auto frames = committedFrames(*rig.device);
        expectEveryFrameWholeOrZero(frames);
        // Between the end and the new connection's second block, nothing but zeros.
        bool live = false;
        for (const Frame& f : frames) {
            if (f.id < zerosFrom) {
                continue;
            }
            if (!allZero(f.samples)) {
                EXPECT_GE(f.samples[0], 500.0f) << "frame " << f.id << " shows a block of the ended stream";
                live = true;
            }
        }
        EXPECT_TRUE(live);
        EXPECT_EQ(rig.countLogged(kEndedPrefix), 1);
        expectCleanEnd(rig, threads);
    }
}

// Local programs that connect and close over and over, or connect and send nothing, never disturb a live
// stream: they wait, and are closed and counted once it has gone. A companion that then hangs (stops
// writing, socket open) gives way to the one that replaces it, with nobody changing a property: through
// the host's path, the frames carry the new connection's blocks within a second.
TEST(StreamFaults, AHungCompanionGivesWayToItsReplacementAndLocalProgramsNeverDisturbALiveStream) {
    const std::size_t threads = threadCount();
    DeviceRig rig(4);
    rig.newestSample();
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    double number = 1000.0;
    auto feed = [&](StreamClient& client, milliseconds duration) {
        for (const auto until = Clock::now() + duration; Clock::now() < until;) {
            client.sendBlock(rampBlock(number));
            number += 1000.0;
            std::this_thread::sleep_for(milliseconds(1));
        }
    };
    feed(*rig.client, milliseconds(200));
    {
        StreamClient idle(rig.device->listeningPort());
        for (int i = 0; i < 20; ++i) {
            StreamClient(rig.device->listeningPort()).close();
            feed(*rig.client, milliseconds(20));
        }
        feed(*rig.client, milliseconds(300));
    }
    EXPECT_EQ(rig.device->streamStatistics().connections, 1u) << "a connection was taken from a live stream";
    EXPECT_EQ(rig.countLogged("[FerroxEMG] Sample stream replaced"), 0);
    EXPECT_EQ(rig.countLogged(kStalled), 0);
    const float hung = newestFrame(*rig.device).at(0);
    EXPECT_GT(hung, 1000.0f);

    // The companion hangs; its replacement connects and streams at once.
    StreamClient replacement(rig.device->listeningPort());
    const auto connectedAt = Clock::now();
    std::atomic<bool> stop{false};
    std::atomic<bool> abort{false};
    std::thread writer([&] {
        for (int n = 0; !stop.load(); ++n) {
            const std::vector<double> values = rampBlock(1.0e6 + 1000.0 * n);
            if (!replacement.sendUnlessStopped(values.data(), SampleBlock::kBytes, abort)) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    ThreadGuard guard{stop, abort, {&writer}};
    const bool taken = eventually(
        [&] {
            const auto f = newestFrame(*rig.device);
            return !f.empty() && f[0] >= 1.0e6f;
        },
        milliseconds(1000));
    const auto tookMs = std::chrono::duration_cast<milliseconds>(Clock::now() - connectedAt).count();
    EXPECT_TRUE(taken) << "the frames still carry no block of the replacement after " << tookMs << " ms";
    stop = true;
    writer.join();
    ASSERT_TRUE(rig.device->StopCapture());

    EXPECT_EQ(rig.countLogged("[FerroxEMG] Sample stream replaced"), 1);
    // Named on a thread of the receiver's own, so the line may come a little later.
    EXPECT_TRUE(eventually(
        [&] { return rig.countLogged("[FerroxEMG] Sample stream connected from 127.0.0.1:") == 2; }));
    // The 20 that closed at once and the idle one were closed unused once the stream had stalled.
    const auto log = rig.device->LoggedMessages();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const AnalogSystem::LogEntry& e) {
        return e.text.find("; 0 connections from other machines refused, 21 closed unused") !=
               std::string::npos;
    }));
    expectCleanEnd(rig, threads);
}

TEST(HostMisuse, PropertyChangesFromTwoThreadsDuringCapture) {
    constexpr int kChannels = 16;
    const std::size_t threads = threadCount();
    DeviceRig rig(kChannels);
    ASSERT_TRUE(rig.device->StartCapture());
    const unsigned short port = rig.device->listeningPort();

    std::atomic<bool> done{false};
    std::atomic<int> toggles{0};
    std::atomic<int> changes{0};
    // The companion: blocks at about the device rate on connections that end every 400 ms, so that
    // "AppRunMode" has new ones to take. Block n has base 1000 * n: a sample tells block and channel.
    auto companion = std::make_unique<BlockStreamer>(port, milliseconds(400));
    std::thread toggler;
    std::thread changer;
    ThreadGuard guard{done, done, {&toggler, &changer}};

    // Host thread one: channels switched on and off, each change announced as the host does.
    toggler = std::thread([&] {
        std::mt19937 rng(7);
        while (!done.load()) {
            const int d = static_cast<int>(rng() % kChannels);
            auto* descriptor =
                dynamic_cast<AnalogSystem::AnalogChannelDescriptor*>(rig.device->ChannelDescriptor(d));
            if (!descriptor) {
                continue;
            }
            bool enabled = false;
            descriptor->GetProperty("AnalogChannel_Enabled", enabled);
            descriptor->SetProperty("AnalogChannel_Enabled", !enabled);
            rig.device->ChannelPropertyChanged(descriptor->Name(), "AnalogChannel_Enabled");
            ++toggles;
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    // Host thread two: run modes (one of them out of range), "Stop" and "AppRunMode".
    changer = std::thread([&] {
        int step = 0;
        while (!done.load()) {
            switch (step % 3) {
            case 0:
                rig.device->SetProperty("Configuration", (step / 3) % 4);
                rig.device->PropertyChanged("Configuration");
                break;
            case 1:
                rig.device->PropertyChanged("Stop");
                break;
            default:
                rig.device->PropertyChanged("AppRunMode");
                break;
            }
            ++step;
            ++changes;
            std::this_thread::sleep_for(milliseconds(1));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));
    done = true;
    toggler.join();
    changer.join();
    const int connections = companion->connections();
    companion.reset();
    ASSERT_TRUE(rig.device->StopCapture());
    EXPECT_GT(toggles.load(), 100);
    EXPECT_GT(changes.load(), 100);
    EXPECT_GE(connections, 3);
    EXPECT_GE(rig.countLogged(kEndedPrefix), 1);

    // Whatever the channel set was while a frame was written, its samples come from one block, each
    // sample's channel ID is at least its position among the active channels, and blocks never go back.
    double previousBase = 0.0;
    int live = 0;
    for (const Frame& f : committedFrames(*rig.device)) {
        ASSERT_LE(f.samples.size(), static_cast<std::size_t>(kChannels)) << "frame " << f.id;
        double base = 0.0;
        for (std::size_t i = 0; i < f.samples.size(); ++i) {
            const double v = static_cast<double>(f.samples[i]);
            if (v == 0.0) {
                continue; // a channel that went away between count and lookup
            }
            const double id = std::fmod(v, 1000.0);
            ASSERT_TRUE(id == std::floor(id) && id >= static_cast<double>(i) && id < kChannels)
                << "frame " << f.id << " sample " << i << " = " << v;
            if (base == 0.0) {
                base = v - id;
            }
            ASSERT_EQ(v - id, base) << "frame " << f.id << " mixes blocks";
        }
        if (base != 0.0) {
            ASSERT_GE(base, previousBase) << "frame " << f.id << " went back to an older block";
            previousBase = base;
            ++live;
        }
    }
    EXPECT_GT(live, 100);
    expectCleanEnd(rig, threads);
}
