#include <windows.h>

#include <mutex>
#include <set>

#include "base/diagnostic_log.h"
#include "base/files_win.h"
#include "base/shared_names.h"
#include "base/system_library_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

void WriteDiagnosticLog(const std::wstring& message) {
  try {
    if (!FolderExists(names::kLogFolder))
      return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring path =
        DiagnosticLogFileName(names::kLogFolder, now.wYear, now.wMonth, now.wDay);

    // The stamp reads the clock again, in the user's long time format.
    wchar_t time[64] = {};
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, std::size(time));
    const std::string line = ToAnsi(DiagnosticLogLine(time, message));

    if (IsMarkedReadOnly(path))
      return;
    UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } catch (...) {
    // Logging must never disturb the program.
  }
}

void ReportUnboundOnce(const wchar_t* dll, const char* name, DWORD error) {
  static std::mutex lock;
  static std::set<std::wstring> told;
  const std::wstring what = std::wstring(dll) + L"!" + FromAnsi(name);
  {
    std::lock_guard guard(lock);
    if (!told.insert(what).second)
      return;
  }
  WriteDiagnosticLog(L"Not bound: " + what + L" (error " + std::to_wstring(error) + L")");
}
