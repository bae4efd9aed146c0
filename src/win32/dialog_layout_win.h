#pragma once
#include <windows.h>

#include <span>
#include <vector>

#include "base/unique_handle_win.h"
#include "i18n/res_strs.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// One control of a window's design: its class, style and place in pixels at
// 96 DPI. A control of size 0 is placed by another (an up-down control by
// its buddy).
struct ControlSpec {
  int id;
  const wchar_t* cls;
  DWORD style;
  int x, y, w, h;
};

// The controls of one window (the main window's About view, the settings and
// PIN dialogs) laid out from its design at the window's DPI, and laid out
// again when Windows moves the window to a monitor of another DPI.
class DialogLayout {
 public:
  // Reads the DPI the window is shown at; its font comes from strings.
  DialogLayout(HWND window, const TResStrs& strings);

  int dpi() const { return dpi_; }
  int Scale(int designPixels) const { return MulDiv(designPixels, dpi_, 96); }
  HWND Item(int id) const { return GetDlgItem(window_, id); }

  // Creates each control of the design in order, which is the tab order.
  void CreateControls(std::span<const ControlSpec> design, DWORD commonStyle = 0);
  // Moves a control to a place of the design, kept for a later DPI.
  void Place(int id, int x, int y, int w, int h);
  // Draws a control (a frame) under the ones it holds, leaving the tab order.
  void Underlay(int id) const;
  // The window's size in design pixels: of its client area or of its frame.
  void SetClientSize(int w, int h);
  void SetFrameSize(int w, int h);
  // Centres the window on the monitor of owner (the primary one without).
  void CentreOnOwnerMonitor(HWND owner, HWND insertAfter = nullptr) const;
  // The string table's font at the window's DPI, on every control.
  void ApplyTableFont();
  const TResStrs& strings() const { return strings_; }

  // WM_DPICHANGED: takes the new DPI, puts every control at its place and the
  // window at the rectangle Windows suggests. The window then makes its own
  // fonts again at dpi().
  void OnDpiChanged(WPARAM wp, LPARAM lp);

 private:
  struct Placed {
    int id, x, y, w, h;
  };
  enum class Size { kNone, kClient, kFrame };
  void Resize(int w, int h, Size kind);

  HWND window_;
  const TResStrs& strings_;
  int dpi_;
  std::vector<Placed> placed_;
  Size sizeKind_ = Size::kNone;
  int width_ = 0, height_ = 0;
  UniqueGdiObject tableFont_;
};
