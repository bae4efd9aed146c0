#include <windows.h>

#include "token_state.h"

std::string vtoken::ModuleFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&vtoken::ModuleFolder), &self);
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH * 4);
  std::wstring wide(path, n);
  wide = wide.substr(0, wide.find_last_of(L"\\/") + 1);
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1)
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), size, nullptr, nullptr);
  return out;
}
