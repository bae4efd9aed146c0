#include "config/fixed_date.h"

namespace {

// Reads 1..maxDigits decimal digits; advances text.
std::optional<int> Number(std::wstring_view& text, int minDigits, int maxDigits) {
  int value = 0, digits = 0;
  while (digits < maxDigits && !text.empty() && text.front() >= L'0' && text.front() <= L'9') {
    value = value * 10 + (text.front() - L'0');
    text.remove_prefix(1);
    ++digits;
  }
  if (digits < minDigits)
    return std::nullopt;
  return value;
}

bool Expect(std::wstring_view& text, wchar_t c) {
  if (text.empty() || text.front() != c)
    return false;
  text.remove_prefix(1);
  return true;
}

void SkipBlanks(std::wstring_view& text) {
  while (!text.empty() && text.front() == L' ')
    text.remove_prefix(1);
}

}  // namespace

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12)
    return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::optional<LocalDateTime> StrToFixedDateTime(std::wstring_view text) {
  LocalDateTime t;
  SkipBlanks(text);
  auto year = Number(text, 4, 4);
  if (!year || !Expect(text, L'/'))
    return std::nullopt;
  auto month = Number(text, 1, 2);
  if (!month || !Expect(text, L'/'))
    return std::nullopt;
  auto day = Number(text, 1, 2);
  if (!day)
    return std::nullopt;
  t.year = *year;
  t.month = *month;
  t.day = *day;
  if (t.year < 1 || t.day < 1 || t.day > DaysInMonth(t.year, t.month))
    return std::nullopt;

  SkipBlanks(text);
  if (!text.empty()) {
    auto hour = Number(text, 1, 2);
    if (!hour || !Expect(text, L':'))
      return std::nullopt;
    auto minute = Number(text, 1, 2);
    if (!minute)
      return std::nullopt;
    std::optional<int> second = 0;
    if (Expect(text, L':'))
      second = Number(text, 1, 2);
    SkipBlanks(text);
    if (!second || !text.empty())
      return std::nullopt;
    if (*hour > 23 || *minute > 59 || *second > 59)
      return std::nullopt;
    t.hour = *hour;
    t.minute = *minute;
    t.second = *second;
  }
  return t;
}
