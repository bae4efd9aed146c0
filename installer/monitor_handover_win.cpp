// Carried inside the Windows Installer package (never installed): before
// the package replaces or removes the files, "end" ends each monitor of this
// desktop as Windows does at logoff, so that it takes its certificates out of
// the user's store and lets go of its files, and waits for its process.
// After an install or upgrade, "start MONITOR" starts the new monitor, but
// only for a user whose monitor "end" ended: a package deployed by a service
// starts nothing in the service's session. Always exits 0: a monitor that
// cannot be ended leaves its files to be replaced at the next restart, and
// must not fail the install.
#include <windows.h>

#include <string>
#include <vector>

#include "base/shared_names.h"
#include "base/unique_handle_win.h"

namespace {

constexpr wchar_t kMarkKey[] = L"Software\\Veltrox\\CorvanexE\\Installer";
constexpr wchar_t kMarkValue[] = L"MonitorEnded";

std::vector<HWND> MonitorWindows() {
  std::vector<HWND> found;
  for (HWND h = FindWindowExW(nullptr, nullptr, names::kMainWindowClass, nullptr); h;
       h = FindWindowExW(nullptr, h, names::kMainWindowClass, nullptr))
    found.push_back(h);
  return found;
}

void EndMonitors() {
  bool ended = false;
  for (HWND window : MonitorWindows()) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    // The process, not the window: the window goes before the process has
    // let go of its files.
    UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer);
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 30000, &answer);
    if (process)
      WaitForSingleObject(process.get(), 30000);
    ended = true;
  }
  if (!ended)
    return;
  UniqueRegKey mark;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kMarkKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      mark.put(), nullptr) == ERROR_SUCCESS) {
    const DWORD one = 1;
    RegSetValueExW(mark.get(), kMarkValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                   sizeof one);
  }
}

void StartMonitorIfEnded(const std::wstring& monitor) {
  UniqueRegKey mark;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kMarkKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, mark.put()) !=
          ERROR_SUCCESS ||
      RegDeleteValueW(mark.get(), kMarkValue) != ERROR_SUCCESS)
    return;
  std::wstring command = L"\"" + monitor + L"\"";
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION started{};
  if (CreateProcessW(monitor.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"end")
    EndMonitors();
  else if (command == L"start" && argc > 2)
    StartMonitorIfEnded(argv[2]);
  return 0;
}
