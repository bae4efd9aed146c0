#pragma once
#include <string>

#include "config/private_profile_win.h"
#include "i18n/language.h"

// The start-up choice over the program-wide table; returns the resource-DLL
// name to record in the registry.
std::wstring SelectStartupLanguage(const std::wstring& exeDir, int languageId);

// The choice after the settings dialog has closed, over AppConfig and the
// program-wide table; the caller then re-applies the window texts.
void SelectLanguageAfterSettingsDialog(const std::wstring& exeDir);
