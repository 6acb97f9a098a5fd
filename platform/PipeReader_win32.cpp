#include <windows.h>

#include "platform/PipeReader.h"

#include <climits>
#include <mutex>

namespace platform {

struct PipeReader::Native {
    std::mutex mutex;
    bool inRead = false; // the reader is between its last check of the flag and ReadFile's return
    DWORD readerId = 0;
    HANDLE readerThread = nullptr; // opened for CancelSynchronousIo
};

PipeReader::PipeReader() : native_(new Native) {}

PipeReader::~PipeReader() {
    if (native_->readerThread) {
        ::CloseHandle(native_->readerThread);
    }
    delete native_;
}

PipeReader::Status PipeReader::read(NativeHandle handle, void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (!isValid(handle) || handle == 0) {
        return interrupted_.load() ? Status::Interrupted : Status::Failed;
    }
    {
        std::lock_guard<std::mutex> lock(native_->mutex);
        const DWORD self = ::GetCurrentThreadId();
        if (native_->readerId != self || !native_->readerThread) {
            if (native_->readerThread) {
                ::CloseHandle(native_->readerThread);
            }
            HANDLE thread = nullptr;
            if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                                   &thread, THREAD_TERMINATE, FALSE, 0)) {
                thread = nullptr;
            }
            native_->readerThread = thread;
            native_->readerId = self;
        }
        // Checked under the lock that interrupt() takes: either interrupt() sees this read and keeps
        // cancelling until it is over, or this read sees the flag and never starts.
        if (interrupted_.load()) {
            return Status::Interrupted;
        }
        native_->inRead = true;
    }
    DWORD read = 0;
    const DWORD chunk = size > static_cast<std::size_t>(UINT_MAX) ? UINT_MAX : static_cast<DWORD>(size);
    const BOOL ok = ::ReadFile(reinterpret_cast<HANDLE>(handle), buffer, chunk, &read, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    {
        std::lock_guard<std::mutex> lock(native_->mutex);
        native_->inRead = false;
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
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(native_->mutex);
            if (!native_->inRead || !native_->readerThread) {
                return;
            }
            // Fails with ERROR_NOT_FOUND while the reader has not reached ReadFile yet; then try again.
            ::CancelSynchronousIo(native_->readerThread);
        }
        ::Sleep(1);
    }
}

} // namespace platform
