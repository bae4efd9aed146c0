#include "win32/guarded_win.h"

namespace {
std::wstring& Title() {
  static std::wstring title;
  return title;
}
}  // namespace

const std::wstring& ApplicationTitle() {
  return Title();
}
void SetApplicationTitle(const std::wstring& title) {
  Title() = title;
}

void ReportEscapedError(HWND owner, const char* what) {
  const std::wstring text = FromUtf8(ErrorMessageText(what ? what : ""));
  MessageBoxW(owner, text.c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
}
