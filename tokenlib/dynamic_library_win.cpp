#include <windows.h>

#include <algorithm>

#include "dynamic_library.h"
#include "base/files_win.h"
#include "base/system_library_win.h"
#include "base/text_win.h"

namespace {
std::wstring OwnFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnFolder), &self);
  const std::wstring path = ModuleFileName(self);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// A module by full path, its own dependencies from its folder and System32
// only: never from the current directory or along PATH, where the user may
// put a file of the same name. Windows 7 without KB2533623 knows neither
// flag; there its folder comes first as before.
HMODULE LoadFromItsFolder(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                  LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  return module;
}

}  // namespace

bool DynamicLibrary::Open(const std::string& nameOrPath) {
  Close();
  if (IsRelativeWithFolder(nameOrPath))
    return false;
  const std::wstring name = FromAnsi(nameOrPath);
  if (HasFolder(nameOrPath)) {
    handle_ = LoadFromItsFolder(name);
  } else {
    const std::wstring beside = OwnFolder() + name;
    if (FileExists(beside))
      handle_ = LoadFromItsFolder(beside);
    if (!handle_)
      handle_ = LoadSystemLibrary(name.c_str());
  }
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name))
                 : nullptr;
}

void DynamicLibrary::Close() {
  if (handle_)
    FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}
