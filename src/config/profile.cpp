#include "config/profile.h"

#include <cstdint>
#include <optional>

namespace {

std::optional<int> HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9')
    return c - L'0';
  if (c >= L'a' && c <= L'f')
    return c - L'a' + 10;
  if (c >= L'A' && c <= L'F')
    return c - L'A' + 10;
  return std::nullopt;
}

}  // namespace

int ParseProfileInt(std::wstring_view text, int fallback) {
  if (text.empty())
    return fallback;
  bool negative = false;
  if (text.front() == L'+' || text.front() == L'-') {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with(L"0x") || text.starts_with(L"0X")) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.starts_with(L"$")) {
    base = 16;
    text.remove_prefix(1);
  }
  if (text.empty())
    return fallback;

  // Hexadecimal covers the whole 32-bit pattern (0xFFFFFFFF is -1); decimal
  // must fit the signed range.
  const std::uint64_t limit =
      base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    auto digit = HexDigit(c);
    if (!digit || *digit >= base)
      return fallback;
    value = value * base + static_cast<std::uint64_t>(*digit);
    if (value > limit)
      return fallback;
  }
  auto bits = static_cast<std::uint32_t>(value);
  if (negative)
    bits = 0u - bits;
  return static_cast<int>(bits);
}

int ReadProfileInt(ProfileStore& profile,
                   const std::wstring& section,
                   const std::wstring& key,
                   int fallback) {
  return ParseProfileInt(profile.ReadString(section, key, L""), fallback);
}

std::optional<int> ParseDecimal(std::wstring_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits)
    return std::nullopt;
  int value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9')
      return std::nullopt;
    value = value * 10 + (c - L'0');
  }
  return value;
}
