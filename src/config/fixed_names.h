#pragma once
// Identifiers that other programs, files and the registry depend on. They are
// part of the program, never of a language file.

namespace names {

inline constexpr wchar_t kCompanyWord[] = L"Veltrox";
inline constexpr wchar_t kProductWord[] = L"CorvanexE";

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

inline constexpr wchar_t kInstanceSlotName[] = L"{CorvanexEFIPSMon-8066-443E-9998-5713F4427EDF}";
inline constexpr wchar_t kMainWindowClass[] = L"TQZCorvanexE_TrayIconCer";
inline constexpr wchar_t kManagerWindowClass[] = L"TQZCorvanexE_Mgr";
inline constexpr wchar_t kApplicationWindowClass[] = L"TQZCorvanexE_Application";
// The hidden window that receives USB device notifications; the driver tool
// sends its simulated notifications here.
inline constexpr wchar_t kDeviceWindowClass[] = L"TQZCorvanexE_USBNotify";
// The hidden window that receives the tray icon's mouse notifications, the
// message they arrive as (WM_USER + 0x400) and the icon's id.
inline constexpr wchar_t kTrayHandlerWindowClass[] = L"TQZCorvanexE_TrayIconHandler";
inline constexpr unsigned kTrayCallbackMessage = 0x0400 + 0x400;
inline constexpr unsigned kTrayIconId = 1;
// Device interface class of USB devices.
inline constexpr wchar_t kUsbDeviceInterfaceGuid[] = L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// Dialogs, found by class when a token is pulled out.
inline constexpr wchar_t kPinDialogClass[] = L"TUPinSetForm";
inline constexpr wchar_t kSettingsDialogClass[] = L"TProjectConfigForm";
inline constexpr wchar_t kCheckSysDialogClass[] = L"TCheckSysForm";

inline constexpr wchar_t kCommandRegCert[] = L"RegCert";
inline constexpr wchar_t kCommandUpdate[] = L"Update";
inline constexpr wchar_t kCommandLoadCert[] = L"LoadCert";
inline constexpr wchar_t kCommandClose[] = L"CLOSE";

inline constexpr wchar_t kMicrosoftProviderName[] = L"Microsoft Base Smart Card Crypto Provider";

inline constexpr wchar_t kLogFolder[] = L"C:\\KeyLog";

// Extended initialisation of the token library; init_pkcs11_ex is used only
// when the first is set. Empty as built.
inline constexpr const wchar_t* kExtendedInitTexts[3] = {L"", L"", L""};

}  // namespace names
