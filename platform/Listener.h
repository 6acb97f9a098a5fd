#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace platform {

// Lets a restarted device listen again at once (POSIX: SO_REUSEADDR). On Windows SO_REUSEADDR would let
// a second socket, of any process, bind the same port and take the companion's connection, so the
// listener asks for the port exclusively there instead.
void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

} // namespace platform
