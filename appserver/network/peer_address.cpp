#include "peer_address.h"

#include <boost/asio/ip/address.hpp>

#include <string>

namespace dotz::appserver {

bool isLoopback(std::string_view address)
{
    boost::system::error_code ec;
    const auto a = boost::asio::ip::make_address(std::string(address), ec);
    if (ec)
        return false;
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6())
            .is_loopback();
    return a.is_loopback();
}

} // namespace dotz::appserver
