#pragma once
// What a session reads of a request's head before a handler sees it.
#include "exchange.h"

#include <string>
#include <string_view>

namespace dotz::appserver {

// The path of a request target, percent-decoded, without its query.
std::string decodedPath(std::string_view target);

// The parser takes a repeated Content-Length when the values agree, and a list
// "5, 5"; a request that frames its body twice is refused all the same.
bool plainContentLength(const HttpRequest& request);

} // namespace dotz::appserver
