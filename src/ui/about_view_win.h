#pragma once
#include <windows.h>

#include <optional>

#include "base/unique_handle_win.h"
#include "win32/dialog_layout_win.h"

// The main window's client area: product name and version, the web and mail
// links, the copyright line and the OK button.
class AboutView {
 public:
  // Control ids (also how tests find the controls).
  enum ControlId : int {
    kAppIcon = 101,
    kProductName,
    kVersion,
    kWebsiteCaption,
    kEmailCaption,
    kCopyright,
    kWebsiteLink,
    kEmailLink,
    kRule,
    kOkButton
  };
  static constexpr int kClientWidth = 347, kClientHeight = 192;

  // Creates the controls at their designed places in the parent's layout.
  AboutView(HWND parent, DialogLayout& layout);

  // Fonts from the string table at the layout's DPI, then every text and the
  // icon; again after a change of DPI.
  void ApplyLanguageTexts(HICON icon);

  // WM_COMMAND: true for the OK button (the caller hides the window); the
  // links open themselves.
  bool IsOkClick(WPARAM wp) const;
  void OnCommand(WPARAM wp);
  // WM_CTLCOLORSTATIC and WM_SETCURSOR: an answer, or none for the default.
  LRESULT OnCtlColorStatic(HDC dc, HWND control) const;
  std::optional<LRESULT> OnSetCursor(HWND control) const;

 private:
  static bool IsLink(int id) { return id == kWebsiteLink || id == kEmailLink; }
  void OpenLink(ControlId id, const wchar_t* prefix) const;

  HWND parent_;
  DialogLayout& layout_;
  int points_ = 9;  // the table's font size last given as a number
  UniqueGdiObject font_;
  UniqueGdiObject linkFont_;
};
