#pragma once
#include <windows.h>

#include <string>

// Loads a DLL from System32 only. Windows 7 without KB2533623 refuses
// LOAD_LIBRARY_SEARCH_SYSTEM32 (ERROR_INVALID_PARAMETER): there the DLL is
// loaded by its full path in the system folder.
inline HMODULE LoadSystemLibrary(const wchar_t* dll) {
  if (const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    return module;
  if (GetLastError() != ERROR_INVALID_PARAMETER)
    return nullptr;
  wchar_t folder[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH)
    return nullptr;
  const std::wstring path = std::wstring(folder) + L"\\" + dll;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// A function of a DLL in System32, loaded at first use and kept for the rest
// of the run; null when the DLL or the function is missing. Loading at run
// time from System32 keeps a DLL of that name beside the program from being
// picked up, which a static import would allow for DLLs outside Windows'
// list of known DLLs.
// A DLL or function that could not be bound is told once per run in the
// diagnostic log: without it a feature is silently missing.
void ReportUnboundOnce(const wchar_t* dll, const char* name, DWORD error);

template <class Fn>
Fn SystemFunction(const wchar_t* dll, const char* name) {
  const HMODULE module = LoadSystemLibrary(dll);
  const auto function =
      module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
             : nullptr;
  if (!function)
    ReportUnboundOnce(dll, name, GetLastError());
  return function;
}
