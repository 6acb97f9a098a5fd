#include <windows.h>

#include "platform/CancellableIo_win32.h"
#include "platform/PipeWriter.h"

namespace platform {

struct PipeWriter::Native {
    CancellableIo io;
};

PipeWriter::PipeWriter() : native_(new Native) {}

PipeWriter::~PipeWriter() {
    delete native_;
}

PipeWriter::Status PipeWriter::writeAll(NativeHandle handle, const void* data, std::size_t size) {
    if (!isValid(handle) || handle == 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
        BOOL ok = FALSE;
        DWORD error = ERROR_SUCCESS;
        if (!native_->io.run(interrupted_, [&] {
                ok = ::WriteFile(reinterpret_cast<HANDLE>(handle), p, chunk, &written, nullptr);
                error = ok ? ERROR_SUCCESS : ::GetLastError();
            })) {
            return Status::Interrupted;
        }
        if (!ok) {
            if (interrupted_.load()) {
                return Status::Interrupted;
            }
            if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
                return Status::Broken;
            }
            return Status::Failed;
        }
        p += written;
        size -= written;
    }
    return Status::Written;
}

void PipeWriter::interrupt() {
    interrupted_.store(true);
    native_->io.cancel();
}

} // namespace platform
