#include "request_head.h"

#include <boost/beast/http/field.hpp>

namespace dotz::appserver {

namespace http = boost::beast::http;

std::string decodedPath(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string path;
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 &&
            hex(target[i + 2]) >= 0) {
            path += static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2]));
            i += 2;
        } else {
            path += target[i];
        }
    }
    return path;
}

bool plainContentLength(const HttpRequest& request)
{
    const auto n = request.count(http::field::content_length);
    if (n == 0)
        return true;
    if (n > 1)
        return false;
    const std::string_view value = request[http::field::content_length];
    return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace dotz::appserver
