#include "i18n/safe_format.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kMaxWidth = 64;

std::wstring NumberText(long long value, int precision) {
  const bool negative = value < 0;
  unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude);
  if (precision > static_cast<int>(digits.size()))
    digits.insert(0, static_cast<std::size_t>(precision) - digits.size(), L'0');
  return negative ? L"-" + digits : digits;
}

int ReadCount(std::wstring_view tmpl, std::size_t& i) {
  int n = 0;
  while (i < tmpl.size() && tmpl[i] >= L'0' && tmpl[i] <= L'9') {
    n = std::min(n * 10 + (tmpl[i] - L'0'), kMaxWidth);
    ++i;
  }
  return n;
}

}  // namespace

std::wstring SafeFormat(std::wstring_view tmpl, std::initializer_list<FormatArg> argList) {
  const std::vector<FormatArg> args(argList);
  std::size_t next = 0;
  std::wstring out;
  for (std::size_t i = 0; i < tmpl.size();) {
    if (tmpl[i] != L'%') {
      out += tmpl[i++];
      continue;
    }
    const std::size_t start = i++;
    if (i < tmpl.size() && tmpl[i] == L'%') {
      out += L'%';
      ++i;
      continue;
    }
    bool left = false, zero = false;
    while (i < tmpl.size() && (tmpl[i] == L'-' || tmpl[i] == L'0')) {
      (tmpl[i] == L'-' ? left : zero) = true;
      ++i;
    }
    const int width = ReadCount(tmpl, i);
    int precision = -1;
    if (i < tmpl.size() && tmpl[i] == L'.') {
      ++i;
      precision = ReadCount(tmpl, i);
    }
    if (i >= tmpl.size() || (tmpl[i] != L'd' && tmpl[i] != L's')) {
      // Not a placeholder we fill: keep it as written.
      out.append(tmpl.substr(start, i - start));
      continue;
    }
    const wchar_t kind = tmpl[i++];
    if (next >= args.size()) {
      out.append(tmpl.substr(start, i - start));
      continue;
    }
    const FormatArg& arg = args[next++];
    std::wstring piece;
    if (const auto* number = std::get_if<long long>(&arg)) {
      piece = NumberText(*number, kind == L'd' ? precision : -1);
    } else {
      piece = std::wstring(std::get<std::wstring_view>(arg));
      if (kind == L's' && precision >= 0 && static_cast<int>(piece.size()) > precision)
        piece.resize(static_cast<std::size_t>(precision));
    }
    if (static_cast<int>(piece.size()) < width) {
      const std::size_t pad = static_cast<std::size_t>(width) - piece.size();
      if (left)
        piece.append(pad, L' ');
      else if (zero && std::holds_alternative<long long>(arg) && !piece.empty() && piece[0] == L'-')
        piece.insert(1, pad, L'0');
      else
        piece.insert(0, pad, zero && std::holds_alternative<long long>(arg) ? L'0' : L' ');
    }
    out += piece;
  }
  return out;
}
