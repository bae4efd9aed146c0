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
  // UTF-8 takes no default character and no best-fit flag, also where it is
  // the system code page (Windows' "Use Unicode UTF-8" option).
  if (codePage == CP_ACP)
    codePage = GetACP();
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

// From one 8-bit form to another through UTF-16. The UTF-16 copy is wiped
// before its memory goes: the text may be a PIN.
std::optional<std::string> Convert(UINT from, UINT to, std::string_view text) {
  std::optional<std::wstring> wide = Wide(from, text);
  if (!wide)
    return std::nullopt;
  std::optional<std::string> out = Narrow(to, *wide);
  SecureZeroMemory(wide->data(), wide->size() * sizeof(wchar_t));
  return out;
}

class AnsiCodePage : public CodePage {
 public:
  std::optional<std::string> FromUtf8(std::string_view utf8) const override {
    return Convert(CP_UTF8, CP_ACP, utf8);
  }
  std::optional<std::string> ToUtf8(std::string_view text) const override {
    return Convert(CP_ACP, CP_UTF8, text);
  }
};

}  // namespace

const CodePage& SystemCodePage() {
  static const AnsiCodePage codePage;
  return codePage;
}

}  // namespace tokenlib
