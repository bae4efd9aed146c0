#include <windows.h>

#include <vector>

#include "code_page.h"

namespace tokenlib {

namespace {

// UTF-16 in memory that is wiped before it goes: the text may be a PIN.
class WideSecret {
 public:
  explicit WideSecret(std::size_t size) : text_(size, L'\0') {}
  ~WideSecret() { WipeSecret(text_.data(), text_.size() * sizeof(wchar_t)); }
  WideSecret(const WideSecret&) = delete;
  WideSecret& operator=(const WideSecret&) = delete;
  wchar_t* data() { return text_.data(); }
  int size() const { return static_cast<int>(text_.size()); }

 private:
  std::vector<wchar_t> text_;  // on the heap, never inside the object
};

// From one 8-bit form to another through UTF-16; nothing when the text is
// not valid in the first or has no exact form in the second.
std::optional<SecretBytes> Convert(UINT from, UINT to, std::string_view text) {
  if (text.empty())
    return SecretBytes();
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (wide <= 0)
    return std::nullopt;
  WideSecret utf16(static_cast<std::size_t>(wide));
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, utf16.data(), wide);
  // UTF-8 takes no default character and no best-fit flag, also where it is
  // the system code page (Windows' "Use Unicode UTF-8" option).
  if (to == CP_ACP)
    to = GetACP();
  const bool utf8 = to == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(to, flags, utf16.data(), utf16.size(), nullptr, 0, nullptr,
                                    usedDefaultOut);
  if (n <= 0 || usedDefault)
    return std::nullopt;
  std::optional<SecretBytes> out(std::in_place, static_cast<std::size_t>(n));
  WideCharToMultiByte(to, flags, utf16.data(), utf16.size(), out->data(), n, nullptr,
                      usedDefaultOut);
  return out;
}

class AnsiCodePage : public CodePage {
 public:
  std::optional<SecretBytes> FromUtf8(std::string_view utf8) const override {
    return Convert(CP_UTF8, CP_ACP, utf8);
  }
  std::optional<SecretBytes> ToUtf8(std::string_view text) const override {
    return Convert(CP_ACP, CP_UTF8, text);
  }
};

}  // namespace

const CodePage& SystemCodePage() {
  static const AnsiCodePage codePage;
  return codePage;
}

}  // namespace tokenlib
