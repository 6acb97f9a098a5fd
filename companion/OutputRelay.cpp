#include "companion/OutputRelay.h"

#include "companion/CompanionController.h"

#include <cstdio>

namespace QuillmarkPluginDevices {

void writeRelayedLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

OutputRelay::OutputRelay()
    : OutputRelay([] { return CompanionController::instance()->stdoutRead(); }, writeRelayedLine) {}

OutputRelay::OutputRelay(HandleSource source, RelayLineAssembler::LineSink sink)
    : source_(std::move(source)), assembler_(std::move(sink)) {}

OutputRelay::~OutputRelay() {
    stop();
}

bool OutputRelay::start() {
    if (thread_.held()) {
        return true;
    }
    running_ = true;
    if (!thread_.start(&OutputRelay::OutputRelayThread, this, "ferrox-relay")) {
        running_ = false;
        return false;
    }
    return true;
}

void OutputRelay::stop() {
    running_ = false;
    stop_.raise();
    reader_.interrupt();
    if (thread_.held()) {
        thread_.join();
    }
}

int OutputRelay::OutputRelayThread(void* relay) {
    static_cast<OutputRelay*>(relay)->run();
    return 0;
}

void OutputRelay::run() {
    char buffer[128];
    while (running_.load()) {
        const platform::NativeHandle pipe = source_ ? source_() : platform::kInvalidHandle;
        if (!platform::isValid(pipe)) {
            stop_.sleepFor(kPauseAfterFailure);
            continue;
        }
        std::size_t got = 0;
        const auto status = reader_.read(pipe, buffer, sizeof buffer, got);
        if (status == platform::PipeReader::Status::Interrupted) {
            break;
        }
        if (status != platform::PipeReader::Status::Data || got == 0) {
            stop_.sleepFor(kPauseAfterFailure);
            continue;
        }
        assembler_.feed(buffer, got);
        // A full buffer means more is waiting: read on at once, or a companion that writes faster than
        // 128 bytes per pause would block on its own console. The pause is for a pipe that has gone quiet.
        if (got < sizeof buffer) {
            stop_.sleepFor(kPauseAfterData);
        }
    }
}

} // namespace QuillmarkPluginDevices
