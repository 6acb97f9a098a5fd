// Capture: frame values, pacing against the schedule, the host refusing frames, and thread lifetime.
#include "platform/Os.h"
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <utility>

using namespace ferrox_test;
using QuillmarkPluginDevices::FerroxEMG;

namespace {
struct Fill {
    std::vector<float> values = std::vector<float>(FerroxEMG::kValuesBufferSize, -1.0f);
    int perFrame = 0;
    int frames = 0;
};

Fill fill(FerroxEMG& device, int framesDue = 1) {
    Fill f;
    device.FillFrameValues(f.values.data(), f.perFrame, f.frames, framesDue);
    return f;
}
} // namespace

TEST(FrameValues, SecondNewestBlockMappedByChannelId) {
    // Descriptors 0..5 with 1, 3 and 5 active: active channel i reads block value ChannelID(i).
    DeviceRig rig(6, 0);
    rig.newestSample();
    for (int d : {1, 3, 5}) {
        rig.device->ChannelDescriptor(d)->SetProperty("AnalogChannel_Enabled", true);
    }
    EXPECT_EQ(fill(*rig.device).perFrame, 3);
    // Not connected: zeros.
    Fill f = fill(*rig.device);
    EXPECT_EQ(f.values[0], 0.0f);
    EXPECT_EQ(f.frames, 1);

    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    std::vector<double> special = rampBlock(0.5);
    special[3] = 1.0e40; // beyond float range
    rig.client->sendBlock(special);
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() == 1; }));
    // One block: still zeros.
    EXPECT_EQ(fill(*rig.device).values[0], 0.0f);
    rig.client->sendBlock(rampBlock(100.0));
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() == 2; }));
    f = fill(*rig.device);
    EXPECT_EQ(f.values[0], 1.5f);
    EXPECT_TRUE(std::isinf(f.values[1]) && f.values[1] > 0);
    EXPECT_EQ(f.values[2], 5.5f);
    // One channel for another, as many active as before, by the host's own doing (nothing reported):
    // the very next fill maps the new channels, so no value lands under another channel's name.
    for (const auto& [d, on] : {std::pair{3, false}, std::pair{4, true}}) {
        rig.device->ChannelDescriptor(d)->SetProperty("AnalogChannel_Enabled", on);
    }
    f = fill(*rig.device);
    EXPECT_EQ(f.perFrame, 3);
    EXPECT_EQ(f.values[1], 4.5f);
    EXPECT_TRUE(rig.device->StopCapture());
}

TEST(FrameValues, ChannelIdsBeyondTheBlockReadZeroAndTheBufferIsNeverOverrun) {
    // 1300 active channels: more than the values buffer holds.
    DeviceRig rig(1300);
    rig.newestSample();
    ASSERT_TRUE(rig.device->StartCapture());
    rig.connectStream();
    rig.client->sendBlock(rampBlock(1.0));
    rig.client->sendBlock(rampBlock(1.0));
    ASSERT_TRUE(eventually([&] { return rig.device->blockQueue().size() >= 2; }));
    Fill f = fill(*rig.device, 50);
    EXPECT_EQ(f.perFrame, 1300);
    EXPECT_EQ(f.frames, FerroxEMG::kValueRows);
    EXPECT_EQ(f.values[127], 128.0f);
    EXPECT_EQ(f.values[128], 0.0f);
    EXPECT_EQ(f.values[1279], 0.0f);
    // Frames of 1300 samples are still written, all of them within bounds.
    ASSERT_TRUE(eventually([&] { return rig.device->CommittedFrameCount() > 5; }));
    EXPECT_TRUE(rig.device->StopCapture());
    std::vector<float> samples;
    int64_t committed = 0;
    ASSERT_TRUE(rig.device->ReadFrame(rig.device->GetMostRecentFrameID(), samples, committed));
    EXPECT_EQ(samples.size(), 1300u);
    // Every sample gives each frame a row of its own, rows max(active channels, 128) apart: room for one.
    rig.device->SetProperty(FerroxEMG::kDeliveryPropName, static_cast<int>(FerroxEMG::Delivery::EverySample));
    rig.device->PropertyChanged(FerroxEMG::kDeliveryPropName);
    EXPECT_EQ(fill(*rig.device, 50).frames, 1);
}

// Every frame that falls due is written, with consecutive IDs each marked by the device. A capture thread
// the system holds up writes the frames that fell due meanwhile, so frame IDs keep in step with the clock;
// only a hold-up beyond the catch-up limit gives up the excess, and counts it. So does a thread that the
// sleep wakes only on the 15.625 ms tick of a Windows machine without timeBeginPeriod: about 16 frames
// every wake. The priority line tells how the ticks are paced (on Windows, whether the high-resolution
// timer was granted).
TEST(Capture, FrameCountFollowsRateTimesTimeAndAHeldUpThreadCatchesUpToItsLimit) {
    using std::chrono::milliseconds;
    ASSERT_EQ(FerroxEMG::kCatchUpLimit, milliseconds(250));
    struct Case {
        milliseconds hold;
        double skipped;         // frames given up: those beyond the limit of 250 ms
        const char* sleepModel; // FERROX_SLEEP_MODEL, null: unset
        double framesPerWake;   // about 16 on the 15.625 ms tick, which the stop may also still owe
    };
    const Case cases[] = {
        {milliseconds(100), 0.0, nullptr, 1.0},
        {milliseconds(600), 350.0, nullptr, 1.0},
        {milliseconds(0), 0.0, "tick15ms", 15.625},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.hold.count()) + " ms, sleep " + (c.sleepModel ? c.sleepModel : "fine"));
        const ScopedEnv sleepModel("FERROX_SLEEP_MODEL", c.sleepModel);
        DeviceRig rig(4);
        rig.newestSample();
        ASSERT_TRUE(rig.device->StartCapture());
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(milliseconds(300));
        // Each tick takes the queue's lock; holding it holds the capture thread up.
        rig.device->blockQueue().withSecondNewest(
            [&](const QuillmarkPluginDevices::SampleBlock*, auto) { std::this_thread::sleep_for(c.hold); });
        std::this_thread::sleep_for(milliseconds(300));
        ASSERT_TRUE(rig.device->StopCapture());
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

        const auto stats = rig.device->captureStatistics();
        EXPECT_GT(stats.worstLatenessMs, 0.8 * static_cast<double>(c.hold.count()));
        const double skipped = static_cast<double>(stats.skippedFrames);
        if (c.skipped == 0.0) {
            EXPECT_EQ(stats.skippedFrames, 0);
        } else {
            EXPECT_GT(skipped, c.skipped - 20.0);
            EXPECT_LT(skipped, c.skipped + 100.0);
        }
        EXPECT_NEAR(static_cast<double>(stats.frames) + skipped, ms, 0.03 * ms + c.framesPerWake);
        EXPECT_EQ(rig.device->CommittedFrameCount(), stats.frames);
        EXPECT_EQ(rig.countLogged("[FerroxEMG] Capture thread priority: "), 1);
        EXPECT_GE(static_cast<double>(stats.frames),
                  0.75 * c.framesPerWake * static_cast<double>(stats.ticks));
        for (const auto& entry : rig.device->LoggedMessages()) {
            if (entry.text.rfind("[FerroxEMG] Capture thread priority: ", 0) != 0) {
                continue;
            }
            if (c.sleepModel) {
                EXPECT_NE(entry.text.find(std::string("FERROX_SLEEP_MODEL=") + c.sleepModel),
                          std::string::npos);
            } else if (platform::kIsWindows) {
                EXPECT_TRUE(entry.text.find("; paced by high-resolution waitable timer") !=
                                std::string::npos ||
                            entry.text.find("; paced by whole milliseconds") != std::string::npos)
                    << entry.text;
            } else {
                EXPECT_NE(entry.text.find("; paced by clock_nanosleep"), std::string::npos) << entry.text;
            }
        }
        const int32_t last = rig.device->GetMostRecentFrameID();
        EXPECT_EQ(last + 1, rig.device->FrameCounter());
        EXPECT_EQ(static_cast<int64_t>(last) + 1, rig.device->CommittedFrameCount());
        for (int32_t id = std::max(0, last - 1000); id <= last; ++id) {
            const auto* frame = rig.device->GetFrameByDeviceFrameID(id);
            ASSERT_NE(frame, nullptr) << id;
            EXPECT_EQ(frame->ID(), id);
            EXPECT_EQ(frame->Flag(), 1);
            EXPECT_EQ(frame->DeviceID(), rig.device->DeviceIdentity());
        }
    }
}

// A rate whose period is under 10 us or over 10 s cannot be scheduled: the capture is refused, and says why.
TEST(Capture, RatesItCannotScheduleAreRefused) {
    for (const double rate : {1.0e9, 200000.0, 0.05, 1.0e-300}) {
        SCOPED_TRACE(rate);
        DeviceRig rig(2);
        rig.device->SetProperty(FerroxEMG::kRatePropName, rate);
        EXPECT_FALSE(rig.device->StartCapture());
        EXPECT_EQ(rig.countLogged("[FerroxEMG] Capture not started: a rate of "), 1);
        EXPECT_TRUE(rig.device->StopCapture());
        EXPECT_EQ(rig.device->FrameCounter(), 0);
    }
}

TEST(Capture, NoActiveChannelRequestsNoFrame) {
    DeviceRig rig(4, 0);
    ASSERT_TRUE(rig.device->StartCapture());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(rig.device->StopCapture());
    EXPECT_EQ(rig.device->FrameCounter(), 0);
    EXPECT_EQ(rig.device->CommittedFrameCount(), 0);
}

TEST(Capture, RefusedFramesAreLoggedAndTheSameIdIsAskedAgain) {
    DeviceRig rig(2);
    rig.device->RefuseFrames(3);
    ASSERT_TRUE(rig.device->StartCapture());
    ASSERT_TRUE(eventually([&] { return rig.device->CommittedFrameCount() >= 10; }));
    ASSERT_TRUE(rig.device->StopCapture());
    EXPECT_EQ(rig.countLogged("[Ferrox Device] Unable to get frame from  buffer (frameID:0)"), 3);
    for (const auto& entry : rig.device->LoggedMessages()) {
        if (entry.text.rfind("[Ferrox Device]", 0) == 0) {
            EXPECT_EQ(entry.level, 1);
        }
    }
    // Frame 0 was finally written: IDs stay consecutive from 0.
    EXPECT_NE(rig.device->GetFrameByDeviceFrameID(0), nullptr);
    EXPECT_EQ(static_cast<int64_t>(rig.device->GetMostRecentFrameID()) + 1,
              rig.device->CommittedFrameCount());
}

TEST(Capture, StopAndStartRepeatedlyLeaveOneReaderAndNoThreadBehind) {
    DeviceRig rig(2);
    rig.connectStream();
    for (int round = 0; round < 50; ++round) {
        ASSERT_TRUE(rig.device->StartCapture()) << round;
        // A second start while capturing starts nothing.
        EXPECT_TRUE(rig.device->StartCapture());
        rig.client->sendBlock(rampBlock(round));
        ASSERT_TRUE(rig.device->StopCapture()) << round;
    }
    // The stream survives the stops: blocks still flow in the next capture.
    ASSERT_TRUE(rig.device->StartCapture());
    rig.client->sendBlock(rampBlock(1.0));
    rig.client->sendBlock(rampBlock(2.0));
    EXPECT_TRUE(eventually([&] { return rig.device->blockQueue().size() >= 2; }));
    EXPECT_TRUE(rig.device->StopCapture());
    EXPECT_TRUE(rig.device->connected());
    // Stopping without a capture is harmless.
    EXPECT_TRUE(rig.device->StopCapture());
}

TEST(Capture, DestroyingTheDeviceEndsEveryThread) {
    struct Case {
        const char* name;
        bool capture;
        bool connect;
    };
    const Case cases[] = {
        {"idle", false, false},
        {"capturing, no stream", true, false},
        {"capturing, read blocked on a silent companion", true, true},
    };
    for (const Case& c : cases) {
        DeviceRig rig(2);
        if (c.connect) {
            rig.connectStream();
        }
        if (c.capture) {
            ASSERT_TRUE(rig.device->StartCapture()) << c.name;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const auto before = std::chrono::steady_clock::now();
        rig.device.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5)) << c.name;
    }
}

TEST(Device, MakeFrameGivesZeroedFloatFrames) {
    DeviceRig rig(0);
    std::unique_ptr<AnalogSystem::AnalogFrame<float>> empty(rig.device->MakeFrame(0));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->ChannelCount(), 0);
    std::unique_ptr<AnalogSystem::AnalogFrame<float>> frame(rig.device->MakeFrame(5));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->SampleWidth(), 4);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(frame->Samples()[i], 0.0f);
    }
}

TEST(Device, SecondDeviceInAProcessIsCreatedAlthoughThePipeIsTaken) {
    DeviceRig first;
    DeviceRig second;
    EXPECT_NE(first.device->listeningPort(), second.device->listeningPort());
}
