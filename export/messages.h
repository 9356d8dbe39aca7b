#pragma once
// The screen's message table: one entry per line, "key|text", texts in
// Windows-1252. Kept free of any widget library so the headless command shows
// the very same texts.
#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class MessageTable
{
  public:
    MessageTable() = default;
    explicit MessageTable(std::vector<std::string> lines) : lines_(std::move(lines)) {}

    const std::vector<std::string>& lines() const { return lines_; }
    // The text after the first "|" of the first entry with that key. A missing key
    // is a programming error: throws dotz::Error naming the key.
    std::string text(std::string_view key) const;

  private:
    std::vector<std::string> lines_;
};

// The twelve entries of the DOTZ export screen, in their order.
const MessageTable& dotzMessages();

// Puts `arg` in the place of the first "%s" of `format`.
std::string formatMessage(std::string_view format, std::string_view arg);

} // namespace dotz
