#pragma once
#include <windows.h>

#include <memory>
#include <set>
#include <span>

#include "app/desktop_ports_win.h"
#include "monitor/commands.h"
#include "monitor/default_pin.h"
#include "monitor/pin_dialog_win.h"
#include "monitor/program_state.h"
#include "monitor/token_session.h"
#include "monitor/usb_device_win.h"
#include "token/token_library_win.h"
#include "ui/cool_tray_icon_win.h"
#include "ui/main_form_win.h"
#include "update/update_check.h"
#include "update/update_ports_win.h"

// Builds the program's objects and wires them: the main window, the tray
// icon, the token library binding, the Win32 ports, the token session and the
// device window. Everything lives until this object goes; the shutdown runs
// when the main window is destroyed.
class MonitorApp : private MainFormEvents {
 public:
  MonitorApp(ProgramState& state, HWND applicationWindow);
  ~MonitorApp() override;
  MonitorApp(const MonitorApp&) = delete;
  MonitorApp& operator=(const MonitorApp&) = delete;

  // Before Start: the policy, the user's settings file and update
  // configuration, the language.
  void Prepare();
  // Creates the main window and starts monitoring; false when the main
  // window cannot be created.
  bool Start();
  // The application's title in the current language.
  const std::wstring& Title() const { return strings_.P_Caption; }
  // True once the main window is gone, however that came about.
  bool Ended() const { return ended_; }

 private:
  // Every timer: its interval and who answers it, in MonitorTimer's order.
  struct TimerRow {
    MonitorTimer timer;
    int intervalMs;
    void (*handler)(MonitorApp& app);
  };
  static std::span<const TimerRow> Timers();
  static int TimerInterval(MonitorTimer timer);

  void OnTimer(UINT_PTR id) override;
  void OnSessionChange(WPARAM reason) override;
  void OnPolicyChange() override;
  void OnCopyData(HWND sender, const COPYDATASTRUCT& message) override;
  void OnDestroy() override;
  void OnAdvancedSettings() override;
  void TakeSettingsAndLanguageAgain();
  void TCheckDefaultUPINTimer();
  void TAppUpdateTimer();

  ProgramState& state_;
  HWND applicationWindow_;
  // What every part of the program works from, handed on from here.
  TResStrs strings_;
  TConfigInfo settings_{};
  Policy policy_;
  std::unique_ptr<TMainForm> form_;
  std::unique_ptr<TCoolTrayIcon> trayIcon_;
  std::unique_ptr<DllTokenLibrary> library_;
  std::unique_ptr<DesktopPorts> ports_;
  std::unique_ptr<TokenSession> session_;
  std::unique_ptr<TUSB> usb_;
  std::unique_ptr<DesktopPinDialogs> pinDialogs_;
  std::unique_ptr<DefaultPinCheck> pinCheck_;
  std::unique_ptr<DesktopUpdatePorts> updatePorts_;
  std::unique_ptr<UpdateCheck> updateCheck_;
  bool sessionNotifyRegistered_ = false;
  bool ended_ = false;
  // Senders of WM_COPYDATA that are not the manager, each logged once.
  static constexpr std::size_t kIgnoredSendersLogged = 32;
  std::set<HWND> ignoredSenders_;
  std::size_t refusalsLogged_ = 0;
  SendersTextSpacing sendersTexts_;
};
