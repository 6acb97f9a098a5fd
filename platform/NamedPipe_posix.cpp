#include "platform/NamedPipe.h"

#include "platform/Environment.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
// The Windows name space "\\.\pipe\" has no POSIX counterpart: the pipe becomes a FIFO in the temporary
// folder whose file name carries this process's id, so parallel processes never meet.
std::string fifoPath(const char* name) {
    std::string base = name;
    const char* const windowsPrefix = "\\\\.\\pipe\\";
    if (base.rfind(windowsPrefix, 0) == 0) {
        base.erase(0, std::strlen(windowsPrefix));
    }
    for (char& c : base) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '_' || c == '-' || c == '.';
        if (!keep) {
            c = '_';
        }
    }
    std::string folder = getEnv("TMPDIR").value_or("");
    if (folder.empty()) {
        folder = "/tmp";
    }
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder + "ferrox-" + std::to_string(::getpid()) + "-" + base + ".fifo";
}

// The FIFOs this process made, removed when the process (or the library) goes away. Their descriptors
// are left alone: whoever created the pipe owns them.
class CreatedFifos {
public:
    void add(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.insert(path);
    }
    ~CreatedFifos() {
        for (const auto& path : paths_) {
            ::unlink(path.c_str());
        }
    }

private:
    std::mutex mutex_;
    std::set<std::string> paths_;
};

CreatedFifos& createdFifos() {
    static CreatedFifos fifos;
    return fifos;
}
} // namespace

NativeHandle createInboundNamedPipe(const char* name) {
    if (!name || !*name) {
        return kInvalidHandle;
    }
    CreatedFifos& registry = createdFifos();
    const std::string path = fifoPath(name);
    if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
        return kInvalidHandle;
    }
    // Non-blocking, because an inbound server end must not wait for a writer to appear.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return kInvalidHandle;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        ::close(fd);
        return kInvalidHandle;
    }
    // The lock is the instance: it lives exactly as long as the descriptor, so a second creation fails
    // until the first end is closed, as the one-instance pipe does on Windows.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kInvalidHandle;
    }
    registry.add(path);
    return fd;
}

} // namespace platform
