#pragma once
#include <windows.h>

// A function of a DLL in System32, loaded at first use and kept for the rest
// of the run; null when the DLL or the function is missing. Loading at run
// time from System32 keeps a DLL of that name beside the program from being
// picked up, which a static import would allow for DLLs outside Windows'
// list of known DLLs.
template <class Fn>
Fn SystemFunction(const wchar_t* dll, const char* name) {
  const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module)
    return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
