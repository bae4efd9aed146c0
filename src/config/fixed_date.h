#pragma once
#include <compare>
#include <optional>
#include <string_view>

// A local calendar date and time, compared field by field.
struct LocalDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  auto operator<=>(const LocalDateTime&) const = default;
};

// Parses "yyyy/mm/dd hh:nn:ss" (the time may be left out) independent of the
// user's regional settings; nullopt for text that is not such a date.
std::optional<LocalDateTime> StrToFixedDateTime(std::wstring_view text);

int DaysInMonth(int year, int month);
