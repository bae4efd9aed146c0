#include "win32/window_win.h"

#include "win32/guarded_win.h"

Window::~Window() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

bool Window::CreateWindowOfClass(const wchar_t* className,
                                 const std::wstring& caption,
                                 DWORD style,
                                 DWORD exStyle,
                                 HWND owner,
                                 HICON icon,
                                 int width,
                                 int height) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance, className, &wc)) {
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Window::Procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = icon;
    wc.hIconSm = icon;
    wc.lpszClassName = className;
    if (!RegisterClassExW(&wc))
      return false;
  }
  CreateWindowExW(exStyle, className, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                  width ? width : CW_USEDEFAULT, height ? height : CW_USEDEFAULT, owner, nullptr,
                  instance, this);
  return hwnd_ != nullptr;
}

LRESULT Window::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK Window::Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self)
    return DefWindowProcW(hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    LRESULT r = DefWindowProcW(hwnd, msg, wp, lp);
    self->hwnd_ = nullptr;
    return r;
  }
  LRESULT result = 0;
  bool handled = false;
  Guarded(hwnd, [&] {
    result = self->HandleMessage(msg, wp, lp);
    handled = true;
  });
  return handled ? result : DefWindowProcW(hwnd, msg, wp, lp);
}
