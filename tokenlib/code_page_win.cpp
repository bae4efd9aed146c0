#include <windows.h>

#include "code_page.h"

namespace tokenlib {

namespace {

std::optional<std::wstring> Wide(UINT codePage, std::string_view text) {
  if (text.empty())
    return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0)
    return std::nullopt;
  std::wstring out(n, L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), n);
  return out;
}

std::optional<std::string> Narrow(UINT codePage, const std::wstring& text) {
  if (text.empty())
    return std::string();
  const int size = static_cast<int>(text.size());
  // UTF-8 takes no default character and no best-fit flag.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int n =
      WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, usedDefaultOut);
  if (n <= 0 || usedDefault)
    return std::nullopt;
  std::string out(n, '\0');
  WideCharToMultiByte(codePage, flags, text.data(), size, out.data(), n, nullptr, usedDefaultOut);
  return out;
}

class AnsiCodePage : public CodePage {
 public:
  std::optional<std::string> FromUtf8(std::string_view utf8) const override {
    const auto wide = Wide(CP_UTF8, utf8);
    return wide ? Narrow(CP_ACP, *wide) : std::nullopt;
  }
  std::optional<std::string> ToUtf8(std::string_view text) const override {
    const auto wide = Wide(CP_ACP, text);
    return wide ? Narrow(CP_UTF8, *wide) : std::nullopt;
  }
};

}  // namespace

const CodePage& SystemCodePage() {
  static const AnsiCodePage codePage;
  return codePage;
}

}  // namespace tokenlib
