#pragma once
// What the network knows of a peer by its address, as the listener writes it.
#include <string_view>

namespace dotz::appserver {

// A peer on this machine, IPv4-mapped loopback included.
bool isLoopback(std::string_view address);

} // namespace dotz::appserver
