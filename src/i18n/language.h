#pragma once
#include <array>
#include <string>

#include "config/app_config.h"
#include "config/policy.h"
#include "config/profile.h"
#include "i18n/res_strs.h"

// The language list "Languages\LanguageInfo.ini": one section per language.
struct TLanguageInfo {
  static constexpr int kCapacity = 129;
  std::array<std::wstring, kCapacity> LanguageIDs;
  std::array<std::wstring, kCapacity> LanguageNames;
  std::array<std::wstring, kCapacity> LanguageFiles;
  std::array<std::wstring, kCapacity> LanguageCSPs;
  int Count = 0;  // entries held; sections past the capacity are left out
};

// Replaces every entry of table from the file's section "Caption"; a missing
// file leaves the table as it is.
void LoadLanguageFile(ProfileFiles& files, const std::wstring& path, TResStrs& table);

// Fills list from the list file; 0, or 1 when reading failed part-way.
int ReadLanguageList(ProfileFiles& files, const std::wstring& path, TLanguageInfo& list);

// Index of the first entry whose id is languageId, or -1. An id that is not a
// decimal number matches nothing.
int FindLanguage(const TLanguageInfo& list, int languageId);

// The start-up choice: loads the configured language's file (the English file
// when none matches) over table and returns the resource-DLL name to record.
std::wstring SelectLanguage(ProfileFiles& files,
                            const std::wstring& exeDir,
                            int languageId,
                            TResStrs& table);

// The choice after the settings dialog: reloads appConfig from the user's
// file (what the policy sets in its place) and loads the language it names; the DLL name and the
// application title stay as they are.
void SelectLanguageAfterSettings(ProfileFiles& files,
                                 const std::wstring& exeDir,
                                 const std::wstring& userConfigPath,
                                 TConfigInfo& appConfig,
                                 TResStrs& table,
                                 const Policy& policy = kNoPolicy);
