#include <windows.h>

#include "app/startup_win.h"
#include "update/restart_after_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // DLLs loaded by name come from System32 or the program's own folder only,
  // never from the current directory or PATH.
  using SetDirectoriesFn = BOOL(WINAPI*)(DWORD);
  if (const auto setDefaultDirectories = reinterpret_cast<SetDirectoriesFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))))
    setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  SetDllDirectoryW(L"");
  // The copy that brings the monitor back after an update is no monitor.
  if (const auto helperExit = RunAsRestartHelper(GetCommandLineW()))
    return *helperExit;
  return RunMonitorApplication();
}
