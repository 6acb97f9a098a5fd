#include "Console.h"

namespace companion_sim {

Console::Console(platform::NativeHandle output) : output_(output) {}

Console::~Console() {
    stop(std::chrono::milliseconds(0));
}

bool Console::start() {
    return thread_.start(&Console::ConsoleThread, this);
}

int Console::ConsoleThread(void* console) {
    try {
        static_cast<Console*>(console)->run();
    } catch (...) {
        // Out of memory while formatting a message: the console falls silent, the simulator runs on.
    }
    return 0;
}

void Console::post(const std::string& text) {
    std::string message;
    message.reserve(text.size() < kMaxMessageCharacters ? text.size() : kMaxMessageCharacters);
    for (char c : text.substr(0, kMaxMessageCharacters)) {
        message.push_back(c >= 0x20 && c <= 0x7E ? c : '?');
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || broken_) {
            ++dropped_;
            return;
        }
        if (queue_.size() >= kQueueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(std::move(message));
    }
    changed_.notify_all();
}

void Console::run() {
    for (;;) {
        std::string message;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) {
                return;
            }
            // Tell the reader that it missed something, once the pipe takes messages again.
            if (dropped_ > droppedReported_ && !broken_) {
                message = std::to_string(dropped_ - droppedReported_) + " console messages dropped";
                droppedReported_ = dropped_;
            } else {
                message = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        message += '\n';
        message.push_back('\0');
        const auto status = writer_.writeAll(output_, message.data(), message.size());
        if (status != platform::PipeWriter::Status::Written) {
            std::lock_guard<std::mutex> lock(mutex_);
            // Nobody will read again (or stop gave up waiting): everything left is dropped.
            broken_ = true;
            dropped_ += 1 + queue_.size();
            droppedReported_ = dropped_;
            queue_.clear();
        }
        changed_.notify_all();
    }
}

void Console::stop(std::chrono::milliseconds drainLimit) {
    const auto deadline = std::chrono::steady_clock::now() + drainLimit;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        changed_.wait_until(lock, deadline, [this] { return queue_.empty(); });
    }
    if (!thread_.held()) {
        return;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto wait = left < std::chrono::milliseconds(10) ? std::chrono::milliseconds(10) : left;
    // A write still waiting on a full pipe after the drain time is interrupted, never waited out.
    if (thread_.joinFor(wait) != platform::Thread::JoinResult::Joined) {
        writer_.interrupt();
        thread_.join();
    }
}

std::size_t Console::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

} // namespace companion_sim
