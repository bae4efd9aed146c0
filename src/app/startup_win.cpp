#include "app/startup_win.h"

#include <windows.h>

#include "app/instance_slot_win.h"
#include "app/managed_policy_win.h"
#include "app/monitor_app_win.h"
#include "config/app_config.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "i18n/language_win.h"
#include "win32/modal_win.h"
#include "i18n/res_strs.h"
#include "update/update_check.h"
#include "base/files_win.h"
#include "win32/event_log_win.h"
#include "win32/guarded_win.h"
#include "win32/window_win.h"

namespace {

// The hidden top-level window that owns the program's windows and carries the
// application title and icon. The instance slot records its handle.
class ApplicationWindow : public Window {
 public:
  bool Create() {
    return CreateWindowOfClass(names::kApplicationWindowClass, L"", WS_POPUP, 0, nullptr,
                               LoadIconW(GetModuleHandleW(nullptr), L"MAINICON"));
  }
  void SetTitle(const std::wstring& title) {
    SetWindowTextW(hwnd(), title.c_str());
    SetApplicationTitle(title);
  }
};

// The update configuration: ClientConfig.txt as shipped, and ClientConfig.ini
// (which the update check reads) seeded from the same template when missing.
// After an upgrade the user's copy still names the version it was seeded
// with: its Version becomes the installed one, so the update just installed
// is not offered again; its address stays.
void SeedUpdateConfiguration(const std::wstring& exeDir) {
  const std::wstring shipped = exeDir + names::kConfigTemplateFolder + names::kClientConfigTemplate;
  const std::wstring updateDir = GetUpdateFolder();
  CopyFileW(shipped.c_str(), (updateDir + names::kClientConfigTemplate).c_str(), TRUE);
  CopyFileW(shipped.c_str(), (updateDir + names::kClientConfigIni).c_str(), TRUE);
  WinProfileFiles files;
  BringClientConfigUpToDate(files, shipped, updateDir + names::kClientConfigIni);
}

int RunMessageLoop() {
  MSG msg;
  while (NextMessage(msg)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int RunMonitorApplication() {
  InstanceSlot slot;  // opened at load, held until the process ends

  ApplicationWindow application;  // 1
  if (!application.Create())
    return 1;
  if (slot.ClaimSingleInstance(application.hwnd()))
    return 0;  // 2-3: silently

  // Whatever a file of an earlier run holds, a step that fails is reported
  // and the start goes on: a monitor that never starts leaves every token
  // unregistered.
  Guarded(application.hwnd(), [] { LoadActivePolicy(); });
  Guarded(application.hwnd(), [] {
    const std::wstring exeDir = ExecutableFolder();  // 4
    const std::wstring userConfig = GetUserDataDir() + names::kUserConfigFile;
    // 5 before 6: on a first run the language is the default, whatever the
    // template says. An administrator's language comes before either.
    const int startupLanguage =
        ActivePolicy.LanguageID.value_or(ReadConfiguredLanguageID(userConfig));
    CopyFileW((exeDir + names::kConfigTemplateFolder + names::kUserConfigFile).c_str(),
              userConfig.c_str(), TRUE);                                              // 6
    SeedUpdateConfiguration(exeDir);                                                  // 7
    const std::wstring languageDll = SelectStartupLanguage(exeDir, startupLanguage);  // 8
    WriteLanguageCspToRegistry(names::kRegistryKeyPath, languageDll);                 // 9
  });

  ProgramState state;
  MonitorApp app(state, application.hwnd());
  if (!app.Start())
    return 1;  // 10: the main window and monitoring
  if (app.Ended())
    return 0;                               // ended inside a start-up box
  application.SetTitle(ResStrs.P_Caption);  // 11 (the icon came with the window class)
  ReportMonitorEvent(MonitorEvent::kStarted, {GetFileVersionText(ModuleFileName(nullptr))});

  return RunMessageLoop();  // 12; 13 as app and slot go out of scope
}
