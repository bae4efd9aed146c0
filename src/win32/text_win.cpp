#include "win32/text_win.h"

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

std::string ToAnsi(std::wstring_view text) {
  return Narrow(CP_ACP, text);
}
std::wstring FromAnsi(std::string_view text) {
  return Widen(CP_ACP, text);
}
std::wstring FromUtf8(std::string_view text) {
  return Widen(CP_UTF8, text);
}
