#include "win32/pin_edit_win.h"

#include <string>
#include <vector>

#include "base/text_win.h"
#include "win32/common_controls_win.h"

namespace {

constexpr UINT_PTR kEditSubclass = 1;

bool IsPinCharacter(wchar_t c) {
  return c >= L' ' && ToAnsiExact(std::wstring_view(&c, 1)).has_value();
}

std::wstring ClipboardText(HWND owner) {
  std::wstring text;
  if (!OpenClipboard(owner))
    return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT))
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  CloseClipboard();
  return text;
}

LRESULT CALLBACK PinEditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_CHAR:
      if (wp >= L' ' && !IsPinCharacter(static_cast<wchar_t>(wp)))
        return 0;
      break;
    case WM_PASTE: {
      std::wstring pasted = ClipboardText(edit);
      std::wstring kept;
      kept.reserve(pasted.size());  // no copy left behind by growing
      for (wchar_t c : pasted)
        if (IsPinCharacter(c))
          kept += c;
      SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(kept.c_str()));
      SecureZeroMemory(pasted.data(), pasted.size() * sizeof(wchar_t));
      SecureZeroMemory(kept.data(), kept.size() * sizeof(wchar_t));
      return 0;
    }
    case WM_NCDESTROY:
      common_controls::RemoveSubclass(edit, PinEditProc, kEditSubclass);
      break;
    default:
      break;
  }
  return common_controls::DefaultProc(edit, msg, wp, lp);
}

}  // namespace

void MakePinEdit(HWND edit, int maxChars) {
  SendMessageW(edit, EM_SETPASSWORDCHAR, L'*', 0);
  SendMessageW(edit, EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0);
  common_controls::Subclass(edit, PinEditProc, kEditSubclass);
}

SecretBytes TakePinEdit(HWND edit, bool wipeBox) {
  const int length = GetWindowTextLengthW(edit);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 2);
  GetWindowTextW(edit, buffer.data(), length + 1);
  std::optional<SecretBytes> pin = ToAnsiExact(buffer.data());
  SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
  if (wipeBox)
    SetWindowTextW(edit, std::wstring(static_cast<std::size_t>(length), L'*').c_str());
  return pin ? std::move(*pin) : SecretBytes();
}
