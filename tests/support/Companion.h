#pragma once

#include "platform/Handle.h"
#include "platform/PipeReader.h"
#include "platform/Thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ferrox_test {

// Copies `program` to where the plug-in starts the companion (companionExecutablePath() under the
// current PROGRAMFILES) and makes it executable. The installed path.
std::string installAsCompanion(const std::string& program);

// Collects everything that arrives on a companion's console pipe on a thread of its own; stopped and
// joined on destruction, even when the pipe never closes.
class ConsoleCapture {
public:
    explicit ConsoleCapture(platform::NativeHandle pipe);
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // True once the collected bytes contain `needle`; gives up after `limit`.
    bool waitFor(const std::string& needle, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string text() const;
    // The NUL-ended messages so far, without the NULs.
    std::vector<std::string> messages() const;

private:
    static int run(void* self);

    platform::NativeHandle pipe_;
    platform::PipeReader reader_;
    platform::Thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::string text_;
};

} // namespace ferrox_test
