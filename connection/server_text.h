#pragma once
// The server's own words (a refusal's message, a JSON-RPC error's message, the
// body of an HTTP error) as the operator is shown them: a few KiB at most, held
// to that while the reply is read, and on one line.
#include <cstddef>
#include <string>
#include <string_view>

namespace dotz::server_text {

// What is kept of a text from the server.
inline constexpr size_t kKept = 4096;

// The text (UTF-8) cut to kKept bytes between two characters, followed by
// " (texto do servidor cortado em N bytes)" when it was cut; every control
// character, CR and LF included, written as \xNN, so that nothing the server
// sends starts a line of its own.
std::string shown(std::string_view utf8);

// Cuts the strings of a JSON text as it streams past, so that a reply holds no
// more of them than can be shown: each keeps its first kKeptRaw bytes (up to
// the end of the character or escape they reach), then its closing quote. An
// escape takes at most 6 bytes for 1, so what is kept still decodes to more
// than kKept bytes and shown() says the text was cut.
class StringCut
{
  public:
    static constexpr size_t kKeptRaw = 6 * kKept + 16;
    // Whether `c`, the next byte of the text, is kept.
    bool keep(char c);

  private:
    bool inString_ = false;
    bool escaped_ = false;
    bool skipping_ = false;
    int hexLeft_ = 0;        // digits of a \u escape still to come
    unsigned code_ = 0;      // of that escape
    bool awaitsLow_ = false; // a high surrogate's low half comes next
    size_t length_ = 0;      // bytes of the string kept so far
};

} // namespace dotz::server_text
