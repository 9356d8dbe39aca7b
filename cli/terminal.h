#pragma once
// What dotz-export tells its user: UTF-8 texts shown in the terminal's encoding,
// with the data's control characters made visible.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace dotz {

// The text as the terminal shows it: Latin-1 terminals get Windows-1252 bytes; a
// control character (C0 but the line break, DEL, C1) becomes \xNN, so that a
// message cannot steer the terminal; a lone carriage return is a line break.
std::string forTerminal(const std::string& utf8);

// One line (or several, for a text with line breaks) on `out`.
void say(std::ostream& out, const std::string& utf8);

// Line breaks become spaces, so that each day keeps its one line.
std::string oneLine(std::string_view text);

// "1 arquivo", "3 arquivos".
std::string count(size_t n, const char* one, const char* many);

} // namespace dotz
