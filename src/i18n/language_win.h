#pragma once
#include <string>

#include "config/private_profile_win.h"
#include "config/app_config.h"
#include "config/policy.h"
#include "i18n/language.h"
#include "i18n/res_strs.h"

// The start-up choice into strings; returns the resource-DLL name to record
// in the registry.
std::wstring SelectStartupLanguage(const std::wstring& exeDir, int languageId, TResStrs& strings);

// The choice after the settings dialog has closed: the user's settings read
// again into settings, the language into strings; the caller then re-applies
// the window texts.
void SelectLanguageAfterSettingsDialog(const std::wstring& exeDir,
                                       TConfigInfo& settings,
                                       TResStrs& strings,
                                       const Policy& policy);
