#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace platform {

// The stream listener's bind rule: a device made right after a destroyed one binds at once, and no other
// program can take the port (or an address on it) while a device listens. The listener binds the
// wildcard address, and every connection it accepted is closed abortively (closeAbortively below), so
// that a closed device leaves no connection on the port.
//
// POSIX (Linux): SO_REUSEADDR, so that a connection of an earlier device still in TIME_WAIT does not
// hold the bind up; Linux never lets a second socket bind a port on which a socket listens, whatever its
// options.
// Windows: SO_EXCLUSIVEADDRUSE. Microsoft's "Using SO_REUSEADDR and SO_EXCLUSIVEADDRUSE" (Winsock
// documentation) gives, for Windows Server 2003 and later under one user account, success to a second
// bind on a specific address (127.0.0.1) after a first one on the wildcard address made with default
// options, with or without SO_REUSEADDR: another program of the same user could take the companion's
// loopback connections from a device with default options. After an exclusive wildcard bind every second
// bind fails (WSAEADDRINUSE or WSAEACCES). The same page's caveat, that such a port cannot be bound again
// "until the original connection becomes inactive", is met by the abortive close, which that page names
// as what keeps the port from "transitioning to an 'active' wait state".
void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// Closes an accepted connection with a reset (SO_LINGER on, time 0): the connection is gone at once,
// with no TIME_WAIT, FIN_WAIT or LAST_ACK left on the device's port, however the peer behaves. Windows'
// closesocket documentation calls it "a hard or abortive close, because the socket's virtual circuit is
// reset immediately, and any unsent data is lost"; the device never sends, so nothing of its own is lost.
inline void closeAbortively(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ec;
    if (socket.is_open()) {
        socket.set_option(boost::asio::socket_base::linger(true, 0), ec);
    }
    socket.close(ec);
}

// Keeps an accepted connection's acknowledgements prompt, so a sender that leaves Nagle's algorithm on is
// not held back by the receiver's delayed acknowledgement (40 ms on Linux, up to 200 ms on Windows) and
// does not deliver in bursts. Linux: TCP_QUICKACK, which the kernel turns off again by itself, so the
// reader arms it again after every read. Windows: SIO_TCP_SET_ACK_FREQUENCY 1, once per connection.
// Returns 0, or the system's error code when it refused.
int setPromptAcknowledgements(boost::asio::ip::tcp::socket& socket);
// After each read: arms TCP_QUICKACK again on Linux; nothing on Windows.
void rearmPromptAcknowledgements(boost::asio::ip::tcp::socket& socket);

} // namespace platform
