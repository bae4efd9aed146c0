#include "i18n/language_win.h"

#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "win32/files_win.h"

bool WinProfileFiles::Exists(const std::wstring& path) { return FileExists(path); }

std::unique_ptr<ProfileStore> WinProfileFiles::Open(const std::wstring& path) {
  return std::make_unique<PrivateProfile>(path);
}

std::wstring SelectStartupLanguage(const std::wstring& exeDir, int languageId) {
  WinProfileFiles files;
  return SelectLanguage(files, exeDir, languageId, ResStrs);
}

void SelectLanguageAfterSettingsDialog(const std::wstring& exeDir) {
  WinProfileFiles files;
  SelectLanguageAfterSettings(files, exeDir, GetUserDataDir() + names::kUserConfigFile, AppConfig,
                              ResStrs);
}
