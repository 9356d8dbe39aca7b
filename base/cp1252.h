#pragma once
// Windows-1252 is the code page of every text the module holds and writes.
#include <optional>
#include <string>
#include <string_view>

namespace dotz::cp1252 {

// Converts UTF-8 to Windows-1252 and appends it to out. Returns the index (in
// characters, from 0) of the first character that Windows-1252 cannot hold, or
// of the first malformed UTF-8 sequence; nothing is appended past that point.
std::optional<size_t> appendFromUtf8(std::string_view utf8, std::string& out);

// Like appendFromUtf8, but goes on past such a character, appending `replacement`
// in its place. Returns the index of the first one, as appendFromUtf8 does.
std::optional<size_t> appendFromUtf8Replacing(std::string_view utf8, std::string& out,
                                              char replacement);

// Throws dotz::Error naming `what` when the text cannot be held.
std::string fromUtf8(std::string_view utf8, std::string_view what = "text");

std::string toUtf8(std::string_view cp1252);

// C0, DEL, and the five bytes Windows-1252 leaves undefined (they stand for C1 codes).
bool isControl(char c);

// toUtf8 for a message: each control character written as \xNN, so that data
// cannot steer the terminal or the screen that shows it.
std::string toUtf8Shown(std::string_view cp1252);

// Length of the text in characters (UTF-8 code points); malformed bytes count one each.
size_t utf8Length(std::string_view utf8);

} // namespace dotz::cp1252
