#include <boost/asio/detail/socket_option.hpp>

#include "platform/Listener.h"

namespace platform {

void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    using ExclusiveAddressUse = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    acceptor.set_option(ExclusiveAddressUse(true), ec);
}

} // namespace platform
