#pragma once
#include <windows.h>

#include <string>

// A window class as a C++ class: the static procedure finds `this` (stored at
// WM_NCCREATE) and forwards to HandleMessage, inside the error guard.
class Window {
 public:
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND hwnd() const { return hwnd_; }

 protected:
  Window() = default;
  // Registers className once per process (with the given icon) and creates the
  // window; false when either fails.
  bool CreateWindowOfClass(const wchar_t* className,
                           const std::wstring& caption,
                           DWORD style,
                           DWORD exStyle,
                           HWND owner,
                           HICON icon = nullptr,
                           int width = 0,
                           int height = 0);
  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND hwnd_ = nullptr;
};
