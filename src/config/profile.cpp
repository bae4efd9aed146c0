#include "config/profile.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
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

std::wstring_view Trimmed(std::wstring_view text) {
  constexpr wchar_t kBlanks[] = L" \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::wstring_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::wstring LowerCase(std::wstring_view text) {
  std::wstring lower(text);
  for (wchar_t& c : lower)
    c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return lower;
}

}  // namespace

ProfileSection::ProfileSection(std::wstring_view entries) {
  while (!entries.empty()) {
    const auto end = std::min(entries.find(L'\0'), entries.size());
    const std::wstring_view entry = entries.substr(0, end);
    entries.remove_prefix(std::min(end + 1, entries.size()));
    const auto equals = entry.find(L'=');
    if (equals == std::wstring_view::npos)
      continue;  // a line without a value is no key: the default is read
    const std::wstring_view key = Trimmed(entry.substr(0, equals));
    std::wstring_view value = Trimmed(entry.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (!key.empty())
      values_.emplace(LowerCase(key), value.substr(0, kMaxProfileValue));
  }
}

std::optional<std::wstring> ProfileSection::Find(std::wstring_view key) const {
  const auto found = values_.find(LowerCase(Trimmed(key)));
  if (found == values_.end())
    return std::nullopt;
  return found->second;
}

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

std::optional<std::uint16_t> ParseHex4(std::wstring_view text) {
  if (text.size() != 4)
    return std::nullopt;
  std::uint16_t value = 0;
  for (wchar_t c : text) {
    const auto digit = HexDigit(c);
    if (!digit)
      return std::nullopt;
    value = static_cast<std::uint16_t>(value * 16 + *digit);
  }
  return value;
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
