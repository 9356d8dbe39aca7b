#pragma once
// A calendar day, counted as the platform counts dates: days since 30 December 1899.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dotz {

class Day
{
  public:
    constexpr Day() = default;
    static Day fromSerial(int32_t serial)
    {
        Day d;
        d.serial_ = serial;
        return d;
    }
    static std::optional<Day> fromYmd(int year, int month, int day);
    // "YYYY-MM-DD" or "dd/mm/yyyy"; nullopt for anything else or an impossible date.
    static std::optional<Day> parse(std::string_view text);

    int32_t serial() const { return serial_; }
    int year() const;
    int month() const;
    int day() const;
    Day next() const { return fromSerial(serial_ + 1); }

    std::string iso() const;      // 2024-03-15
    std::string compact() const;  // 20240315
    std::string regional() const; // 15/03/2024

    friend auto operator<=>(Day, Day) = default;

  private:
    int32_t serial_ = 0;
};

} // namespace dotz
