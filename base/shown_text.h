#pragma once
// A message as the operator is shown it, by the terminal or by the screen.
#include <string>
#include <string_view>

namespace dotz {

// How every shown text writes a byte it must not show: \xNN, each byte on its
// own. The server's messages write the digits in upper case, the client's in
// lower case.
enum class HexDigits { Lower, Upper };
void appendHexEscaped(std::string& out, std::string_view bytes,
                      HexDigits digits = HexDigits::Lower);

// Control characters from the data (C0, DEL, C1) written as \xNN, so that a
// message cannot steer the terminal or the screen that shows it; a C1 character
// as its code, \x80 to \x9f. CR and LF stay when they are the message's own line
// breaks. UTF-8 in and out.
enum class LineBreaks { Keep, Escape };
std::string withoutControls(std::string_view utf8, LineBreaks lineBreaks = LineBreaks::Keep);

} // namespace dotz
