#pragma once

#include "companion/RelayLineAssembler.h"
#include "platform/Handle.h"
#include "platform/PipeReader.h"
#include "platform/StopSignal.h"
#include "platform/Thread.h"

#include <atomic>
#include <functional>

namespace QuillmarkPluginDevices {

// Drains the companion's console pipe for a device's whole life and writes each finished line to
// standard output. The pipe is looked up again before every read, so a companion launched later is
// picked up. The destructor interrupts a read blocked on a silent pipe and joins the thread.
class OutputRelay {
public:
    using HandleSource = std::function<platform::NativeHandle()>;

    // Reads from the controller's current console pipe; lines go to standard output.
    OutputRelay();
    // For tests and tools: another pipe, another line destination.
    OutputRelay(HandleSource source, RelayLineAssembler::LineSink sink);
    ~OutputRelay();
    OutputRelay(const OutputRelay&) = delete;
    OutputRelay& operator=(const OutputRelay&) = delete;

    // False when the thread could not be created (the device works on without a relay).
    bool start();
    void stop();

    // Pause after a read that emptied the pipe, and after a failed or empty one (no companion yet, pipe
    // closed).
    static constexpr auto kPauseAfterData = std::chrono::milliseconds(2);
    static constexpr auto kPauseAfterFailure = std::chrono::milliseconds(50);

private:
    static int OutputRelayThread(void* relay);
    void run();

    HandleSource source_;
    RelayLineAssembler assembler_;
    platform::PipeReader reader_;
    platform::StopSignal stop_;
    std::atomic<bool> running_{false}; // the relay run flag
    platform::Thread thread_;
};

// Writes one relayed line to standard output and flushes it (a pipe is fully buffered on Windows).
void writeRelayedLine(const std::string& line);

} // namespace QuillmarkPluginDevices
