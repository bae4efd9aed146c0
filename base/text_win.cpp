#include "base/text_win.h"

#include <windows.h>

namespace {

std::string Narrow(UINT codePage, std::wstring_view text) {
  if (text.empty())
    return {};
  const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring Widen(UINT codePage, std::string_view text) {
  if (text.empty())
    return {};
  const int n =
      MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n > 0 ? n : 0, L'\0');
  if (n > 0)
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

}  // namespace

std::optional<SecretBytes> ToAnsiExact(std::wstring_view text) {
  if (text.empty())
    return SecretBytes();
  // UTF-8 as the system code page holds every character; other code pages
  // are asked whether they had to substitute one.
  const UINT codePage = GetACP();
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL substituted = FALSE;
  BOOL* report = codePage == CP_UTF8 ? nullptr : &substituted;
  const int n = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, report);
  if (n <= 0 || substituted)
    return std::nullopt;
  std::optional<SecretBytes> out(std::in_place, static_cast<std::size_t>(n));
  WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), out->data(), n,
                      nullptr, report);
  if (substituted)
    return std::nullopt;  // wiped as it goes
  return out;
}

std::string ToAnsi(std::wstring_view text) {
  return Narrow(CP_ACP, text);
}
std::wstring FromAnsi(std::string_view text) {
  return Widen(CP_ACP, text);
}
std::wstring FromUtf8(std::string_view text) {
  return Widen(CP_UTF8, text);
}
