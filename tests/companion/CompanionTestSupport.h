#pragma once

#include "companion/CompanionController.h"
#include "platform/Handle.h"
#include "platform/PipeReader.h"
#include "platform/Thread.h"
#include "tests/support/Sandbox.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace ferrox_test {

// The test companion built beside the test executables.
std::string testCompanionPath();

// Copies the test companion to where the launcher looks for SabletBase.exe in this sandbox.
std::string installCompanion(const Sandbox& sandbox);

// What a text-mode newline becomes on disk: CR LF on Windows, LF elsewhere.
std::string textLineEnd();
bool windowsPaths();

// Collects everything that arrives on a pipe on a thread of its own; stopped and joined on destruction,
// even when the pipe never closes.
class PipeCapture {
public:
    explicit PipeCapture(platform::NativeHandle pipe);
    ~PipeCapture();
    PipeCapture(const PipeCapture&) = delete;
    PipeCapture& operator=(const PipeCapture&) = delete;

    // True once the collected bytes contain `needle`; gives up after `limit`.
    bool waitFor(const std::string& needle, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string text() const;

private:
    static int run(void* self);

    platform::NativeHandle pipe_;
    platform::PipeReader reader_;
    platform::Thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::string text_;
};

// Ends the companion a test launched, by its own process, even when an assertion fails.
struct CompanionGuard {
    const QuillmarkPluginDevices::CompanionController& controller;
    bool reaped = false; // a reaped process id may already belong to someone else
    ~CompanionGuard();
};

// Wall time of one call on the monotonic clock.
template <typename F> std::chrono::milliseconds timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace ferrox_test
