#pragma once
// Identifiers that files and the registry depend on. They are part of the
// program, never of a language file. The names other processes see are in
// base/shared_names.h, which every binary shares.
#include "base/shared_names.h"

namespace names {

inline constexpr wchar_t kCompanyWord[] = L"Veltrox";
inline constexpr wchar_t kProductWord[] = L"CorvanexE";

// The event source in the Application log, registered by the installer.
inline constexpr wchar_t kEventSource[] = L"CorvanexE";
inline constexpr wchar_t kUserConfigFile[] = L"UserConfig.ini";
inline constexpr wchar_t kUpdateSubfolder[] = L"update\\";
inline constexpr wchar_t kConfigTemplateFolder[] = L"config\\";
inline constexpr wchar_t kClientConfigTemplate[] = L"ClientConfig.txt";
inline constexpr wchar_t kClientConfigIni[] = L"ClientConfig.ini";
// Files of the update check in the update folder.
inline constexpr wchar_t kServerConfigFile[] = L"ServerConfig.txt";
inline constexpr wchar_t kInstallerFile[] = L"Pelkin_Setup.exe";
inline constexpr wchar_t kUpdateLogFile[] = L"Logs.txt";
inline constexpr wchar_t kLanguagesFolder[] = L"Languages\\";
inline constexpr wchar_t kLanguageListFile[] = L"LanguageInfo.ini";

// HKEY_CURRENT_USER\Software\Veltrox, value "CorvanexE".
inline constexpr wchar_t kRegistryKeyPath[] = L"Software\\Veltrox";
inline constexpr wchar_t kRegistryValueName[] = L"CorvanexE";
inline constexpr wchar_t kFallbackLanguageDll[] = L"CorvanexE.EN.dll";
inline constexpr wchar_t kFallbackLanguageFile[] = L"EN_1033.lng";

inline constexpr wchar_t kMicrosoftProviderName[] = L"Microsoft Base Smart Card Crypto Provider";

// Extended initialisation of the token library; init_pkcs11_ex is used only
// when the first is set. Empty as built.
inline constexpr const wchar_t* kExtendedInitTexts[3] = {L"", L"", L""};

}  // namespace names
