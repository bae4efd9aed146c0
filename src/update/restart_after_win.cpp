#include "update/restart_after_win.h"

#include <shellapi.h>

#include <cwchar>
#include <memory>

#include "base/files_win.h"
#include "base/unique_handle_win.h"

namespace {

constexpr wchar_t kRestartSwitch[] = L"/RestartAfterInstaller";

struct LocalFreeDeleter {
  void operator()(wchar_t** arguments) const { LocalFree(arguments); }
};

// Only the one handle is passed on, whatever else this process may have
// made inheritable.
bool StartInheriting(std::wstring commandLine, HANDLE handle) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::unique_ptr<char[]> buffer(new char[size]);
  const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.get());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size))
    return false;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION started{};
  const bool ok = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            &handle, sizeof handle, nullptr, nullptr) &&
                  CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &startup.StartupInfo, &started);
  DeleteProcThreadAttributeList(attributes);
  if (!ok)
    return false;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

}  // namespace

bool StartRestartAfter(HANDLE installer,
                       const std::wstring& helperPath,
                       const std::wstring& monitor) {
  if (!CopyFileW(ModuleFileName(nullptr).c_str(), helperPath.c_str(), FALSE))
    return false;
  HANDLE inheritable = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), installer, GetCurrentProcess(), &inheritable,
                       SYNCHRONIZE, TRUE, 0))
    return false;
  const UniqueKernelHandle passed(inheritable);
  const std::wstring commandLine = L"\"" + helperPath + L"\" " + kRestartSwitch + L" " +
                                   std::to_wstring(reinterpret_cast<std::uintptr_t>(inheritable)) +
                                   L" \"" + monitor + L"\"";
  return StartInheriting(commandLine, inheritable);
}

std::optional<int> RunAsRestartHelper(const wchar_t* commandLine) {
  int count = 0;
  const std::unique_ptr<wchar_t*, LocalFreeDeleter> arguments(
      CommandLineToArgvW(commandLine, &count));
  if (!arguments || count != 4 || wcscmp(arguments.get()[1], kRestartSwitch) != 0)
    return std::nullopt;
  wchar_t* end = nullptr;
  const auto value = std::wcstoull(arguments.get()[2], &end, 10);
  const HANDLE installer = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  // A command line typed by hand passes no handle: nothing to wait for, and
  // nothing is started.
  if (*end != L'\0' || WaitForSingleObject(installer, INFINITE) != WAIT_OBJECT_0)
    return 1;
  std::wstring monitor = L"\"" + std::wstring(arguments.get()[3]) + L"\"";
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(arguments.get()[3], monitor.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &started))
    return 1;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}
