// The least a tray program can be, for the benchmark's floors of start-up
// time and idle memory: one hidden window, one notification icon, a message
// loop. Ends at logoff, like the monitor.
#include <windows.h>
#include <shellapi.h>

namespace {

NOTIFYICONDATAW icon{};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_ENDSESSION || message == WM_CLOSE) {
    Shell_NotifyIconW(NIM_DELETE, &icon);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"MinimalTrayProgram";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(windowClass.lpszClassName, L"Minimal tray program", WS_POPUP, 0, 0, 0,
                              0, nullptr, nullptr, instance, nullptr);
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uFlags = NIF_ICON | NIF_TIP;
  icon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  lstrcpyW(icon.szTip, L"Minimal tray program");
  Shell_NotifyIconW(NIM_ADD, &icon);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
