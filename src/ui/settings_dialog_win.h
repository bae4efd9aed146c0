#pragma once
#include <windows.h>

#include <string>

#include "config/policy.h"
#include "i18n/res_strs.h"

struct SettingsDialogInputs {
  std::wstring exeDir;  // holds Languages\.
  const TResStrs& strings;
  // What the administrator sets is shown, and cannot be changed.
  const Policy& policy;
};

// The advanced settings dialog "TProjectConfigForm", shown modally over
// owner: it reads the user's settings file when shown and writes it (and the
// language's registry value) when the user saves. False when the dialog
// could not be created.
bool ShowSettingsDialog(HWND owner, const SettingsDialogInputs& in);

// Control ids, also how tests find the controls.
enum SettingsDialogControl : int {
  kSettingsGroup = 301,
  kOpenUrlBox,
  kUrlEdit,
  kDefaultBrowserRadio,
  kExplorerRadio,
  kCertTipsBox,
  kCertDayEdit,
  kCertDaySpin,
  kCertDayHint,
  kDefaultPinBox,
  kLanguageCaption,
  kLanguageList,
  kSaveButton,
  kSettingsCancelButton,
  kPolicyHint,  // shown when the administrator sets any of the settings
  kSkipExpiredBox,
};
