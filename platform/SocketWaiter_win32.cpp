#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/SocketWaiter.h"

namespace platform {

struct SocketWaiter::Native {
    bool started = false;
    SOCKET wake = INVALID_SOCKET;
    sockaddr_in address{};
};

SocketWaiter::SocketWaiter() : native_(new Native) {
    WSADATA data;
    native_->started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return;
    }
    native_->wake = s;
    native_->address = address;
}

SocketWaiter::~SocketWaiter() {
    if (native_->wake != INVALID_SOCKET) {
        ::closesocket(native_->wake);
    }
    if (native_->started) {
        ::WSACleanup();
    }
    delete native_;
}

SocketWaiter::Result SocketWaiter::waitReadable(NativeHandle socket, int timeoutMs) {
    for (;;) {
        if (interrupted_.load()) {
            return Result::Interrupted;
        }
        WSAPOLLFD fds[2] = {};
        fds[0].fd = static_cast<SOCKET>(socket);
        fds[0].events = POLLRDNORM;
        fds[1].fd = native_->wake;
        fds[1].events = POLLRDNORM;
        const ULONG count = native_->wake != INVALID_SOCKET ? 2 : 1;
        const int n = ::WSAPoll(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
        if (n == SOCKET_ERROR) {
            if (::WSAGetLastError() == WSAEINTR) {
                continue;
            }
            return Result::Failed;
        }
        if (n == 0) {
            return Result::TimedOut;
        }
        if (interrupted_.load()) {
            return Result::Interrupted;
        }
        if (fds[0].revents & (POLLRDNORM | POLLHUP | POLLERR)) {
            return Result::Readable;
        }
        if (fds[0].revents & POLLNVAL) {
            return Result::Failed;
        }
    }
}

void SocketWaiter::interrupt() {
    interrupted_.store(true);
    if (native_->wake != INVALID_SOCKET) {
        const char byte = 1;
        ::sendto(native_->wake, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&native_->address),
                 sizeof native_->address);
    }
}

void SocketWaiter::reset() {
    interrupted_.store(false);
    if (native_->wake != INVALID_SOCKET) {
        char buffer[64];
        while (::recv(native_->wake, buffer, sizeof buffer, 0) > 0) {
        }
    }
}

} // namespace platform
