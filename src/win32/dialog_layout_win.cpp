#include "win32/dialog_layout_win.h"

#include <algorithm>

#include "i18n/table_font_win.h"

namespace {

// The window's own DPI where Windows tells it (10, version 1607 on), else the
// screen's.
int WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow)
    if (const UINT dpi = getDpiForWindow(window))
      return static_cast<int>(dpi);
  UniqueScreenDC screen(GetDC(nullptr));
  return GetDeviceCaps(screen.get(), LOGPIXELSY);
}

}  // namespace

DialogLayout::DialogLayout(HWND window, const TResStrs& strings)
    : window_(window), strings_(strings), dpi_(WindowDpi(window)) {}

void DialogLayout::CreateControls(std::span<const ControlSpec> design, DWORD commonStyle) {
  for (const ControlSpec& c : design) {
    CreateWindowExW(0, c.cls, L"", WS_CHILD | WS_VISIBLE | commonStyle | c.style, Scale(c.x),
                    Scale(c.y), Scale(c.w), Scale(c.h), window_,
                    reinterpret_cast<HMENU>(INT_PTR{c.id}), GetModuleHandleW(nullptr), nullptr);
    placed_.push_back({c.id, c.x, c.y, c.w, c.h});
  }
}

void DialogLayout::Place(int id, int x, int y, int w, int h) {
  const auto it =
      std::find_if(placed_.begin(), placed_.end(), [&](const Placed& p) { return p.id == id; });
  if (it != placed_.end())
    *it = {id, x, y, w, h};
  else
    placed_.push_back({id, x, y, w, h});
  MoveWindow(Item(id), Scale(x), Scale(y), Scale(w), Scale(h), FALSE);
}

void DialogLayout::Underlay(int id) const {
  SetWindowPos(Item(id), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void DialogLayout::Resize(int w, int h, Size kind) {
  sizeKind_ = kind;
  width_ = w;
  height_ = h;
  RECT frame{0, 0, Scale(w), Scale(h)};
  if (kind == Size::kClient)
    AdjustWindowRectEx(&frame, GetWindowLongW(window_, GWL_STYLE), FALSE,
                       GetWindowLongW(window_, GWL_EXSTYLE));
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DialogLayout::SetClientSize(int w, int h) {
  Resize(w, h, Size::kClient);
}

void DialogLayout::SetFrameSize(int w, int h) {
  Resize(w, h, Size::kFrame);
}

void DialogLayout::CentreOnOwnerMonitor(HWND owner, HWND insertAfter) const {
  MONITORINFO monitor{sizeof monitor};
  GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& area = monitor.rcMonitor;
  RECT frame{};
  GetWindowRect(window_, &frame);
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  SetWindowPos(window_, insertAfter, area.left + (area.right - area.left - w) / 2,
               area.top + (area.bottom - area.top - h) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOACTIVATE | (insertAfter ? 0 : SWP_NOZORDER));
}

void DialogLayout::ApplyTableFont() {
  tableFont_ = ::ApplyTableFont(window_, dpi_, strings_);
}

void DialogLayout::OnDpiChanged(WPARAM wp, LPARAM lp) {
  dpi_ = HIWORD(wp) ? HIWORD(wp) : dpi_;
  for (const Placed& p : placed_)
    if (p.w > 0 && p.h > 0)
      MoveWindow(Item(p.id), Scale(p.x), Scale(p.y), Scale(p.w), Scale(p.h), FALSE);
  if (const auto* suggested = reinterpret_cast<const RECT*>(lp))
    SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  // The design's size wins over the suggestion's rounding.
  if (sizeKind_ != Size::kNone)
    Resize(width_, height_, sizeKind_);
  if (tableFont_)
    ApplyTableFont();
  InvalidateRect(window_, nullptr, TRUE);
}
