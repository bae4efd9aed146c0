#pragma once
// Names that another process sees: the monitor's windows and messages, which
// the manager application, the driver tool and the tests find or send to, and
// the monitor's own instance slot. Part of the program, never of a language
// file.

namespace names {

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
// Device interface class of smart-card readers (GUID_DEVINTERFACE_SMARTCARD_READER).
inline constexpr wchar_t kSmartCardReaderInterfaceGuid[] =
    L"{50DD5230-BA8A-11D1-BF5D-0000F805F530}";

// Dialogs, found by class when a token is pulled out.
inline constexpr wchar_t kPinDialogClass[] = L"TUPinSetForm";
inline constexpr wchar_t kSettingsDialogClass[] = L"TProjectConfigForm";
inline constexpr wchar_t kCheckSysDialogClass[] = L"TCheckSysForm";

inline constexpr wchar_t kCommandRegCert[] = L"RegCert";
inline constexpr wchar_t kCommandUpdate[] = L"Update";
inline constexpr wchar_t kCommandLoadCert[] = L"LoadCert";
inline constexpr wchar_t kCommandClose[] = L"CLOSE";

// The diagnostic-log folder: the monitor's log and the library's trace of its
// module calls are written only while it exists.
// Where the Windows Installer package records its install folder; the setup
// program stands aside from such an install.
inline constexpr wchar_t kPackageRecordKey[] = L"Software\\Veltrox\\CorvanexE";
inline constexpr wchar_t kPackageRecordValue[] = L"InstallFolder";
inline constexpr wchar_t kLogFolder[] = L"C:\\KeyLog";
// Set (to "1" or a file) in the process environment, the library traces every
// call it makes of the PKCS#11 module.
inline constexpr wchar_t kModuleTraceVariable[] = L"CORVANEXMGR_TRACE";

}  // namespace names
