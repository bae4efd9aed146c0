#include <windows.h>

#include "app/startup_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Never look for DLLs in the current directory.
  SetDllDirectoryW(L"");
  return RunMonitorApplication();
}
