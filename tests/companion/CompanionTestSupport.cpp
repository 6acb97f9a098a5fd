#include "tests/companion/CompanionTestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Environment.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace ferrox_test {

std::string testCompanionPath() {
    return (fs::path(platform::currentExecutablePath()).parent_path() / FERROX_TEST_COMPANION_FILE).string();
}

std::string installCompanion(const Sandbox& sandbox) {
    std::string target = sandbox.companionProgramDir() + "/SabletBase.exe";
    fs::copy_file(testCompanionPath(), target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
    return target;
}

CompanionGuard::~CompanionGuard() {
    if (controller.launched() && !reaped) {
        platform::terminateProcess(controller.companionProcess());
    }
}

bool windowsPaths() {
    return fs::path::preferred_separator == '\\';
}
std::string textLineEnd() {
    return windowsPaths() ? "\r\n" : "\n";
}

PipeCapture::PipeCapture(platform::NativeHandle pipe) : pipe_(pipe) {
    thread_.start(&PipeCapture::run, this);
}

PipeCapture::~PipeCapture() {
    reader_.interrupt();
    thread_.join();
}

int PipeCapture::run(void* self) {
    auto* capture = static_cast<PipeCapture*>(self);
    char buffer[256];
    for (;;) {
        std::size_t got = 0;
        if (capture->reader_.read(capture->pipe_, buffer, sizeof buffer, got) !=
            platform::PipeReader::Status::Data) {
            return 0;
        }
        {
            std::lock_guard<std::mutex> lock(capture->mutex_);
            capture->text_.append(buffer, got);
        }
        capture->grew_.notify_all();
    }
}

bool PipeCapture::waitFor(const std::string& needle, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grew_.wait_for(lock, limit, [&] { return text_.find(needle) != std::string::npos; });
}

std::string PipeCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

} // namespace ferrox_test
