#include <windows.h>

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
}  // namespace

bool DynamicLibrary::Open(const std::string& nameOrPath) {
  Close();
  if (IsRelativeWithFolder(nameOrPath))
    return false;
  const std::wstring name = FromAnsi(nameOrPath);
  // LOAD_WITH_ALTERED_SEARCH_PATH: the module's own dependencies come from
  // its folder, not from the current directory.
  if (HasFolder(nameOrPath)) {
    handle_ = LoadLibraryExW(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    const std::wstring beside = OwnFolder() + name;
    if (FileExists(beside))
      handle_ = LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
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
