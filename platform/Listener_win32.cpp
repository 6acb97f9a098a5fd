#include <boost/asio/detail/socket_option.hpp>

#include "platform/Listener.h"

#include <mstcpip.h>

#ifndef SIO_TCP_SET_ACK_FREQUENCY
#define SIO_TCP_SET_ACK_FREQUENCY _WSAIOW(IOC_VENDOR, 23)
#endif

namespace platform {

void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    using ExclusiveAddressUse = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    acceptor.set_option(ExclusiveAddressUse(true), ec);
}

int setPromptAcknowledgements(boost::asio::ip::tcp::socket& socket) {
    DWORD frequency = 1;
    DWORD returned = 0;
    if (::WSAIoctl(socket.native_handle(), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr,
                   0, &returned, nullptr, nullptr) != 0) {
        return ::WSAGetLastError();
    }
    return 0;
}

void rearmPromptAcknowledgements(boost::asio::ip::tcp::socket&) {}

} // namespace platform
