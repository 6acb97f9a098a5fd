#pragma once

#include "BlockGenerator.h"
#include "Console.h"
#include "Settings.h"

#include "platform/Sleep.h"
#include "platform/StopSignal.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>

namespace companion_sim {

// The sample stream: one thread that connects to the device on 127.0.0.1, retrying every 100 ms until
// the device listens, and then sends one block per millisecond on an absolute schedule (block k is due
// at origin + k ms; a send never starts early). The settings can make it a less tidy sender: a clock
// that runs fast or slow, several blocks per write, a random delay on each write, Nagle's algorithm
// left on. A stream that falls more than the allowed lag behind (the device stopped reading, the
// machine stalled) skips the overdue blocks rather than sending them in a burst, so what the device
// reads stays fresh. Blocks always leave whole: a pause, a layout switch or a skip takes effect
// between writes, never inside one. When the device drops the
// connection the sender says so and connects again. Every wait is bounded or interruptible, so stop()
// ends the thread promptly and joins it.
class StreamSender {
public:
    StreamSender(const Settings& settings, Console& console, platform::SteadyClock::time_point origin);
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    bool start();
    void stop();

    // Connect (if not yet) and stream in this layout, or in the current one.
    void collect(RunMode mode);
    void collect();
    // Keep the connection, send nothing.
    void pause();

    RunMode mode() const { return static_cast<RunMode>(mode_.load()); }
    std::uint64_t blocksSent() const { return blocksSent_.load(); }
    std::uint64_t blocksSkipped() const { return blocksSkipped_.load(); }
    // Writes that left whole; each carries Settings::burst blocks.
    std::uint64_t writes() const { return writes_.load(); }

    static constexpr auto kConnectRetry = std::chrono::milliseconds(100);
    static constexpr auto kConnectAttemptLimit = std::chrono::milliseconds(2000);
    static constexpr auto kLivenessInterval = std::chrono::milliseconds(50);
    static constexpr auto kIdlePoll = std::chrono::milliseconds(5);
    static constexpr auto kFullBufferPoll = std::chrono::milliseconds(1);
    static constexpr int kSendBufferBytes = 32 * 1024;

private:
    static int StreamThread(void* sender);
    void run();

    Settings settings_;
    Console& console_;
    platform::SteadyClock::time_point origin_;
    std::atomic<bool> wanted_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<int> mode_;
    std::atomic<std::uint64_t> blocksSent_{0};
    std::atomic<std::uint64_t> blocksSkipped_{0};
    std::atomic<std::uint64_t> writes_{0};
    platform::StopSignal stop_;
    platform::Thread thread_;
};

} // namespace companion_sim
