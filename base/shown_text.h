#pragma once
// A message as the operator is shown it, by the terminal or by the screen.
#include <string>
#include <string_view>

namespace dotz {

// Control characters from the data (C0 but the line breaks, DEL, C1) written as
// \xNN, so that a message cannot steer the terminal or the screen that shows it.
// CR and LF stay: they are the message's own line breaks. UTF-8 in and out.
std::string withoutControls(std::string_view utf8);

} // namespace dotz
