// Stands in for a monitor that takes its time to end: at the end of the
// session its window, of the monitor's class, goes at once, while the process
// holds its program file (as a running image is held) for 3 s more.
#include <windows.h>

namespace {

LRESULT CALLBACK StandInWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION)
    return TRUE;
  if (message == WM_ENDSESSION && wParam) {
    DestroyWindow(window);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  const HANDLE held =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = StandInWindow;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TQZCorvanexE_TrayIconCer";
  if (!RegisterClassW(&windowClass) ||
      !CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                       windowClass.hInstance, nullptr))
    return 1;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0)
    DispatchMessageW(&message);
  Sleep(3000);
  CloseHandle(held);
  return 0;
}
