#include "monitor/expiry.h"

#include <cstdint>
#include <cwchar>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (any field values:
// 64-bit arithmetic throughout).
std::int64_t DayNumber(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::int64_t Seconds(const LocalDateTime& t) {
  return DayNumber(t.year, t.month, t.day) * 86400 + std::int64_t{t.hour} * 3600 +
         std::int64_t{t.minute} * 60 + t.second;
}

}  // namespace

std::optional<bool> IsExpiryDue(int year, int month, int day, int days, const LocalDateTime& now) {
  wchar_t text[64] = {};
  std::swprintf(text, 64, L"%.4d/%.2d/%.2d 00:00:00", year, month, day);
  const auto end = StrToFixedDateTime(text);
  if (!end)
    return std::nullopt;
  return static_cast<std::int64_t>(days) * 86400 >= Seconds(*end) - Seconds(now);
}
