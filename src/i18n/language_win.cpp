#include "i18n/language_win.h"

#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "base/files_win.h"

std::wstring SelectStartupLanguage(const std::wstring& exeDir, int languageId, TResStrs& strings) {
  WinProfileFiles files;
  return SelectLanguage(files, exeDir, languageId, strings);
}

void SelectLanguageAfterSettingsDialog(const std::wstring& exeDir,
                                       TConfigInfo& settings,
                                       TResStrs& strings,
                                       const Policy& policy) {
  WinProfileFiles files;
  SelectLanguageAfterSettings(files, exeDir, GetUserDataDir() + names::kUserConfigFile, settings,
                              strings, policy);
}
