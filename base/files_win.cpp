#include "base/files_win.h"

#include <windows.h>

std::wstring ModuleFileName(void* module) {
  // Paths may be longer than MAX_PATH; grow until the name fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), buffer.data(),
                                       static_cast<DWORD>(buffer.size()));
    if (n == 0)
      return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ExecutableFolder() {
  std::wstring path = ModuleFileName(nullptr);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring GetEnv(const wchar_t* name) {
  const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0)
    return {};
  std::wstring value(n, L'\0');
  const DWORD written = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(written < n ? written : 0);
  return value;
}

bool FolderExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsMarkedReadOnly(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

bool CreateFolderTree(const std::wstring& path) {
  if (path.empty())
    return false;
  if (FolderExists(path))
    return true;
  std::wstring trimmed = path;
  while (!trimmed.empty() && (trimmed.back() == L'\\' || trimmed.back() == L'/'))
    trimmed.pop_back();
  const auto slash = trimmed.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0) {
    const std::wstring parent = trimmed.substr(0, slash);
    // A drive root such as "C:" needs no creating.
    if (!(parent.size() == 2 && parent[1] == L':'))
      CreateFolderTree(parent);
  }
  return CreateDirectoryW(trimmed.c_str(), nullptr) || FolderExists(trimmed);
}
