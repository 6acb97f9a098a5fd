#include "platform/Listener.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace platform {

void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

int setPromptAcknowledgements(boost::asio::ip::tcp::socket& socket) {
    const int on = 1;
    return ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) == 0 ? 0 : errno;
}

void rearmPromptAcknowledgements(boost::asio::ip::tcp::socket& socket) {
    const int on = 1;
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace platform
