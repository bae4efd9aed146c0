#include "app/startup_win.h"

#include <windows.h>

#include "app/instance_slot_win.h"
#include "config/managed_policy_win.h"
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

  ApplicationWindow application;
  if (!application.Create())
    return 1;
  if (slot.ClaimSingleInstance(application.hwnd()))
    return 0;  // another instance runs: silently

  ProgramState state;
  MonitorApp app(state, application.hwnd());
  app.Prepare();
  if (!app.Start())
    return 1;  // the main window could not be made
  if (app.Ended())
    return 0;                         // ended inside a start-up box
  application.SetTitle(app.Title());  // the icon came with the window class
  ReportMonitorEvent(MonitorEvent::kStarted, {GetFileVersionText(ModuleFileName(nullptr))});

  return RunMessageLoop();  // then app and slot end, in that order
}
