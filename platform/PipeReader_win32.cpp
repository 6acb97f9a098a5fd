#include <windows.h>

#include "platform/CancellableIo_win32.h"
#include "platform/PipeReader.h"

#include <climits>

namespace platform {

struct PipeReader::Native {
    CancellableIo io;
};

PipeReader::PipeReader() : native_(new Native) {}

PipeReader::~PipeReader() {
    delete native_;
}

PipeReader::Status PipeReader::read(NativeHandle handle, void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (!isValid(handle) || handle == 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    DWORD read = 0;
    const DWORD chunk = size > static_cast<std::size_t>(UINT_MAX) ? UINT_MAX : static_cast<DWORD>(size);
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (!native_->io.run(interrupted_, [&] {
            ok = ::ReadFile(reinterpret_cast<HANDLE>(handle), buffer, chunk, &read, nullptr);
            error = ok ? ERROR_SUCCESS : ::GetLastError();
        })) {
        return Status::Interrupted;
    }
    if (ok) {
        got = read;
        return Status::Data;
    }
    if (interrupted_.load()) {
        return Status::Interrupted;
    }
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
        return Status::EndOfFile;
    }
    return Status::Failed;
}

void PipeReader::interrupt() {
    interrupted_.store(true);
    native_->io.cancel();
}

} // namespace platform
