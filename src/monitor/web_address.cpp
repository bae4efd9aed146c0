#include "monitor/web_address.h"

#include <algorithm>
#include <array>

std::wstring TrimAddress(std::wstring_view address) {
  while (!address.empty() && address.front() <= L' ')
    address.remove_prefix(1);
  while (!address.empty() && address.back() <= L' ')
    address.remove_suffix(1);
  return std::wstring(address);
}

namespace {

wchar_t Lower(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](wchar_t a, wchar_t b) { return Lower(a) == Lower(b); });
}

bool IsAsciiAlpha(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}
bool IsAsciiDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// The last label of a host name that would rather name a program to run.
bool IsProgramExtension(std::wstring_view label) {
  static constexpr std::array<std::wstring_view, 15> kPrograms = {
      L"exe", L"bat", L"cmd", L"msi", L"lnk", L"scr", L"pif", L"vbs",
      L"vbe", L"js",  L"jse", L"wsf", L"hta", L"cpl", L"ps1"};
  std::wstring lower(label);
  for (auto& c : lower)
    c = Lower(c);
  return std::find(kPrograms.begin(), kPrograms.end(), lower) != kPrograms.end();
}

bool IsBareHostAddress(std::wstring_view address) {
  const std::size_t hostEnd = address.find_first_of(L"/?#");
  std::wstring_view host = address.substr(0, hostEnd);
  const std::wstring_view rest =
      hostEnd == std::wstring_view::npos ? std::wstring_view() : address.substr(hostEnd);
  if (rest.find_first_of(L"\\ ") != std::wstring_view::npos)
    return false;
  if (const std::size_t colon = host.find(L':'); colon != std::wstring_view::npos) {
    const std::wstring_view port = host.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), IsAsciiDigit))
      return false;
    host = host.substr(0, colon);
  }
  int labels = 0;
  std::wstring_view last;
  while (true) {
    const std::size_t dot = host.find(L'.');
    const std::wstring_view label = host.substr(0, dot);
    if (label.empty() || label.front() == L'-' || label.back() == L'-' ||
        !std::all_of(label.begin(), label.end(),
                     [](wchar_t c) { return IsAsciiAlpha(c) || IsAsciiDigit(c) || c == L'-'; }))
      return false;
    ++labels;
    last = label;
    if (dot == std::wstring_view::npos)
      break;
    host.remove_prefix(dot + 1);
  }
  return labels >= 2 && std::all_of(last.begin(), last.end(), IsAsciiAlpha) &&
         !IsProgramExtension(last);
}

bool HasWebScheme(std::wstring_view address) {
  return StartsWithNoCase(address, L"http://") || StartsWithNoCase(address, L"https://");
}

}  // namespace

bool IsWebAddress(std::wstring_view address) {
  if (std::any_of(address.begin(), address.end(), [](wchar_t c) { return c <= L' '; }))
    return false;
  if (HasWebScheme(address))
    return address.find(L"://") + 3 < address.size() &&
           address.find(L'\\') == std::wstring_view::npos;
  return IsBareHostAddress(address);
}

std::optional<std::wstring> AddressToOpen(std::wstring_view address) {
  if (!IsWebAddress(address))
    return std::nullopt;
  return HasWebScheme(address) ? std::wstring(address) : L"http://" + std::wstring(address);
}
