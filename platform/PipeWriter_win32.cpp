#include <windows.h>

#include "platform/PipeWriter.h"

#include <mutex>

namespace platform {

struct PipeWriter::Native {
    std::mutex mutex;
    bool inWrite = false; // the writer is between its last check of the flag and WriteFile's return
    DWORD writerId = 0;
    HANDLE writerThread = nullptr; // opened for CancelSynchronousIo
};

PipeWriter::PipeWriter() : native_(new Native) {}

PipeWriter::~PipeWriter() {
    if (native_->writerThread) {
        ::CloseHandle(native_->writerThread);
    }
    delete native_;
}

PipeWriter::Status PipeWriter::writeAll(NativeHandle handle, const void* data, std::size_t size) {
    if (!isValid(handle) || handle == 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        {
            std::lock_guard<std::mutex> lock(native_->mutex);
            const DWORD self = ::GetCurrentThreadId();
            if (native_->writerId != self || !native_->writerThread) {
                if (native_->writerThread) {
                    ::CloseHandle(native_->writerThread);
                }
                HANDLE thread = nullptr;
                if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                                       &thread, THREAD_TERMINATE, FALSE, 0)) {
                    thread = nullptr;
                }
                native_->writerThread = thread;
                native_->writerId = self;
            }
            // Checked under the lock that interrupt() takes: either interrupt() sees this write and keeps
            // cancelling until it is over, or this write sees the flag and never starts.
            if (interrupted_.load()) {
                return Status::Interrupted;
            }
            native_->inWrite = true;
        }
        DWORD written = 0;
        const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
        const BOOL ok = ::WriteFile(reinterpret_cast<HANDLE>(handle), p, chunk, &written, nullptr);
        const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        {
            std::lock_guard<std::mutex> lock(native_->mutex);
            native_->inWrite = false;
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
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(native_->mutex);
            if (!native_->inWrite || !native_->writerThread) {
                return;
            }
            // Fails with ERROR_NOT_FOUND while the writer has not reached WriteFile yet; then try again.
            ::CancelSynchronousIo(native_->writerThread);
        }
        ::Sleep(1);
    }
}

} // namespace platform
