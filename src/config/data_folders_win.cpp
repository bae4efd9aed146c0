#include "config/data_folders.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "config/fixed_names.h"
#include "base/files_win.h"
#include "base/system_library_win.h"
#include "base/unique_handle_win.h"

namespace {

std::wstring RoamingAppData() {
  std::wstring appData = GetEnv(L"APPDATA");
  if (!appData.empty())
    return appData;
  // Without APPDATA the settings would land on the root of the current drive;
  // ask the shell for the user's roaming folder instead.
  PWSTR known = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &known)))
    appData = known;
  CoTaskMemFree(known);
  return appData;
}

std::wstring EnsureFolder(std::wstring path) {
  CreateFolderTree(path);  // a failure shows later, when a file cannot be written
  return path;
}

}  // namespace

std::wstring GetUserDataDir() {
  return EnsureFolder(RoamingAppData() + L"\\" + names::kCompanyWord + L"\\" + names::kProductWord +
                      L"\\");
}

std::wstring GetUpdateFolder() {
  return EnsureFolder(GetUserDataDir() + names::kUpdateSubfolder);
}

void WriteLanguageCspToRegistry(const std::wstring& keyPath, const std::wstring& value) {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS)
    return;
  UniqueRegKey key(raw);
  RegSetValueExW(key.get(), names::kRegistryValueName, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring GetFileVersionText(const std::wstring& fileName) {
  using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  static const auto getSize = SystemFunction<SizeFn>(L"version.dll", "GetFileVersionInfoSizeW");
  static const auto getInfo = SystemFunction<InfoFn>(L"version.dll", "GetFileVersionInfoW");
  static const auto query = SystemFunction<QueryFn>(L"version.dll", "VerQueryValueW");
  if (!getSize || !getInfo || !query)
    return L"";
  // The name is passed whole: a long name is never cut into another file's.
  DWORD ignored = 0;
  const DWORD size = getSize(fileName.c_str(), &ignored);
  if (size == 0)
    return L"";
  std::vector<BYTE> block(size);
  if (!getInfo(fileName.c_str(), 0, size, block.data()))
    return L"-1";
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLen = 0;
  if (!query(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoLen) || info == nullptr ||
      infoLen < sizeof(VS_FIXEDFILEINFO))
    return L"-1";
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionLS));
}
