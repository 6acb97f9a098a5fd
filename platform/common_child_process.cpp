#include "platform/ChildProcess.h"

namespace platform {

ChildProcess::~ChildProcess() {
    kill();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle_(other.handle_), id_(other.id_), exitCode_(other.exitCode_) {
    other.handle_ = kInvalidHandle;
    other.id_ = 0;
    other.exitCode_.reset();
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        handle_ = other.handle_;
        id_ = other.id_;
        exitCode_ = other.exitCode_;
        other.handle_ = kInvalidHandle;
        other.id_ = 0;
        other.exitCode_.reset();
    }
    return *this;
}

bool ChildProcess::running() {
    return isValid(handle_) && !waitFor(std::chrono::milliseconds(0));
}

} // namespace platform
