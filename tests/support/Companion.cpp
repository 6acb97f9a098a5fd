#include "tests/support/Companion.h"

#include "companion/Paths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace ferrox_test {

std::string installAsCompanion(const std::string& program) {
    std::string target = *QuillmarkPluginDevices::companionExecutablePath();
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(program, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
    return target;
}

ConsoleCapture::ConsoleCapture(platform::NativeHandle pipe) : pipe_(pipe) {
    thread_.start(&ConsoleCapture::run, this);
}

ConsoleCapture::~ConsoleCapture() {
    reader_.interrupt();
    thread_.join();
}

int ConsoleCapture::run(void* self) {
    auto* capture = static_cast<ConsoleCapture*>(self);
    char buffer[1024];
    std::size_t got = 0;
    while (capture->reader_.read(capture->pipe_, buffer, sizeof buffer, got) ==
           platform::PipeReader::Status::Data) {
        {
            std::lock_guard<std::mutex> lock(capture->mutex_);
            capture->text_.append(buffer, got);
        }
        capture->grew_.notify_all();
    }
    return 0;
}

bool ConsoleCapture::waitFor(const std::string& needle, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grew_.wait_for(lock, limit, [&] { return text_.find(needle) != std::string::npos; });
}

std::string ConsoleCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

std::vector<std::string> ConsoleCapture::messages() const {
    const std::string all = text();
    std::vector<std::string> messages;
    for (std::size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
        messages.push_back(all.substr(start, end - start));
    }
    return messages;
}

} // namespace ferrox_test
