#include "config/app_config.h"
#include "config/private_profile_win.h"
#include "base/files_win.h"

#include <windows.h>

int ReadAppConfig(const std::wstring& path, TConfigInfo& config) {
  PrivateProfile profile(path);
  return ReadAppConfigFrom(profile, config);
}

int WriteAppConfig(const std::wstring& path, const TConfigInfo& config) {
  // All seven keys or none: they are written into a copy beside the file,
  // which then takes the file's place. A read-only file stays as it is.
  if (IsMarkedReadOnly(path) || FolderExists(path))
    return 1;
  const bool exists = FileExists(path);
  const std::wstring copy = path + L".saving";
  DeleteFileW(copy.c_str());
  if (exists && !CopyFileW(path.c_str(), copy.c_str(), FALSE))
    return 1;
  int result;
  {
    PrivateProfile profile(copy);
    result = WriteAppConfigTo(profile, config);
  }
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, copy.c_str());  // flushes the copy
  if (result == 0 &&
      !MoveFileExW(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    result = 1;
  DeleteFileW(copy.c_str());
  return result;
}

int ReadConfiguredLanguageID(const std::wstring& path) {
  TConfigInfo config{};
  if (ReadAppConfig(path, config) != 0)
    return 0;
  return config.LanguageID;
}
