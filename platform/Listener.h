#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace platform {

// Lets a restarted device listen again at once (POSIX: SO_REUSEADDR). On Windows SO_REUSEADDR would let
// a second socket, of any process, bind the same port and take the companion's connection, so the
// listener asks for the port exclusively there instead.
void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// Keeps an accepted connection's acknowledgements prompt, so a sender that leaves Nagle's algorithm on is
// not held back by the receiver's delayed acknowledgement (40 ms on Linux, up to 200 ms on Windows) and
// does not deliver in bursts. Linux: TCP_QUICKACK, which the kernel turns off again by itself, so the
// reader arms it again after every read. Windows: SIO_TCP_SET_ACK_FREQUENCY 1, once per connection.
// Returns 0, or the system's error code when it refused.
int setPromptAcknowledgements(boost::asio::ip::tcp::socket& socket);
// After each read: arms TCP_QUICKACK again on Linux; nothing on Windows.
void rearmPromptAcknowledgements(boost::asio::ip::tcp::socket& socket);

} // namespace platform
