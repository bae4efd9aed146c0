#pragma once
#include <optional>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "i18n/language.h"

// The advanced settings dialog's controls as values: what LoadSettings puts
// into them, and what the save builds from them.
struct SettingsControls {
  bool openUrl = false;           // cbOpenURL
  std::wstring url;               // edtURL
  bool internetExplorer = false;  // rb2 (rb1 otherwise)
  bool certTips = false;          // cbCertDay
  std::wstring certDay = L"0";    // edtCertDay as typed
  bool defaultPin = false;        // cbDefaultPIN
  bool skipExpired = false;       // expired certificates left out of the store
  // cbLanguageID: the names shown, each with its entry in the language list
  // (entries whose id is not a number are left out), and the selection.
  std::vector<std::wstring> languageNames;
  std::vector<int> languageEntries;
  int selectedLanguage = -1;
};

inline constexpr int kMaxCertDay = 365;
inline constexpr std::size_t kMaxUrlLength = 64;

// LoadSettings: the controls for a settings file that was read (readOk) or
// not, and the language list.
SettingsControls LoadSettingsControls(bool readOk,
                                      const TConfigInfo& stored,
                                      const TLanguageInfo& languages);

// btnSaveClick's record: nothing when the address box is ticked but empty
// (the dialog stays open). With no language selected the stored language is
// kept and no resource-library name is given for the registry.
struct SettingsToSave {
  TConfigInfo record;
  std::optional<std::wstring> languageCsp;
};
std::optional<SettingsToSave> BuildSettingsToSave(const SettingsControls& controls,
                                                  const TLanguageInfo& languages,
                                                  const TConfigInfo& stored);
