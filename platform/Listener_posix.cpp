#include "platform/Listener.h"

namespace platform {

void setListenerAddressReuse(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

} // namespace platform
