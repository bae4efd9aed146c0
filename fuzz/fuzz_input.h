#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Fuzz input as UTF-16 text: each pair of bytes is one unit.
inline std::wstring Utf16Text(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  return text;
}

// Settings files read from disk hold neither line breaks inside a value nor
// NUL characters; such units become blanks.
inline std::wstring AsFileValue(std::wstring text) {
  for (auto& c : text)
    if (c == L'\r' || c == L'\n' || c == L'\0')
      c = L' ';
  return text;
}
