#pragma once
#include <windows.h>

#include <optional>

#include "monitor/program_state.h"
#include "monitor/token_session.h"
#include "ui/cool_tray_icon_win.h"

// What the token session asks of the desktop, done with Win32: balloons on
// the tray icon, boxes and timers of the main window, the registry, the
// diagnostic log and the manager's window.
class DesktopPorts : public MonitorPorts {
 public:
  // intervalOf gives each timer's interval in ms; boxes are captioned from
  // strings; the user's settings are read under policy.
  DesktopPorts(ProgramState& state,
               HWND mainWindow,
               HWND applicationWindow,
               TCoolTrayIcon& trayIcon,
               int (*intervalOf)(MonitorTimer),
               const TResStrs& strings,
               Policy policy)
      : state_(state),
        mainWindow_(mainWindow),
        applicationWindow_(applicationWindow),
        trayIcon_(trayIcon),
        intervalOf_(intervalOf),
        strings_(strings),
        policy_(std::move(policy)) {}
  // Windows announced a change of policy.
  void UsePolicy(const Policy& policy) { policy_ = policy; }

  // The first arming of the update check's timer waits this long instead of
  // its usual time; later ones (a tick put off by an open dialog) do not.
  void DelayFirstUpdateCheck(int milliseconds) { firstUpdateDelay_ = milliseconds; }

  // The session's timer behind a WM_TIMER id of the main window, if any.
  static std::optional<MonitorTimer> TimerOf(UINT_PTR id);

  void ShowBalloon(const std::wstring& text, int iconKind) override;
  void SetIconVisible(bool visible) override;
  void ShowMessage(const std::wstring& text, unsigned kind) override;
  void ArmTimer(MonitorTimer timer) override;
  void DisarmTimer(MonitorTimer timer) override;
  void ExitProgram() override;
  TConfigInfo ReadUserSettings() override;
  bool ProviderKeyExists(const std::wstring& providerName) override;
  void WriteLog(const std::wstring& line) override;
  void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) override;
  std::wstring TokenText(std::string_view bytes) override;
  LocalDateTime Now() override;
  std::uint64_t Milliseconds() override { return GetTickCount64(); }
  void SendToManager(const std::wstring& command) override;
  void OpenWebAddress(const std::wstring& address, int browserMode) override;
  void CloseDialogsOnRemoval(std::int32_t tokenCount) override;

 private:
  ProgramState& state_;
  HWND mainWindow_;
  HWND applicationWindow_;
  TCoolTrayIcon& trayIcon_;
  int (*intervalOf_)(MonitorTimer);
  const TResStrs& strings_;
  Policy policy_;
  std::optional<int> firstUpdateDelay_;
};
