#pragma once

#include "platform/Handle.h"
#include "platform/PipeWriter.h"
#include "platform/Thread.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace companion_sim {

// The simulator's console: each message leaves as its text, a line feed and a NUL byte, one message
// at a time, written straight to the output handle (so nothing waits in a runtime buffer).
// A separate thread does the writing. The plug-in reads the console only while a device exists, so
// the pipe can fill up and stay full; posting then never blocks the simulator's work: messages wait
// in a bounded queue, and the oldest are dropped (and counted) when it overflows. stop() lets the
// queue drain for a while, then interrupts a write blocked on a full pipe and joins the thread.
class Console {
public:
    static constexpr std::size_t kQueueLimit = 256;
    static constexpr std::size_t kMaxMessageCharacters = 1000;

    explicit Console(platform::NativeHandle output);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool start();
    // Non-printable bytes become '?'; overlong texts are cut.
    void post(const std::string& text);
    void stop(std::chrono::milliseconds drainLimit = std::chrono::milliseconds(1000));

    // Messages dropped so far: queue overflow, a reader that has gone, or left over at stop.
    std::size_t dropped() const;

private:
    static int ConsoleThread(void* console);
    void run();

    platform::NativeHandle output_;
    platform::PipeWriter writer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool stopping_ = false;
    bool broken_ = false;
    std::size_t dropped_ = 0;
    std::size_t droppedReported_ = 0;
    platform::Thread thread_;
};

} // namespace companion_sim
