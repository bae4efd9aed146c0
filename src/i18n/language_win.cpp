#include "i18n/language_win.h"

#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "base/files_win.h"

std::wstring SelectStartupLanguage(const std::wstring& exeDir, int languageId) {
  WinProfileFiles files;
  return SelectLanguage(files, exeDir, languageId, ResStrs);
}

void SelectLanguageAfterSettingsDialog(const std::wstring& exeDir) {
  WinProfileFiles files;
  SelectLanguageAfterSettings(files, exeDir, GetUserDataDir() + names::kUserConfigFile, AppConfig,
                              ResStrs, ActivePolicy);
}
