#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/app_config.h"
#include "config/fixed_date.h"
#include "config/monitor_events.h"
#include "token/token_records.h"

// The one-shot timers through which all token work is sequenced.
// Their intervals and handlers are in the main window's timer table.
enum class MonitorTimer {
  TFindUSBKey,
  TCheckInit,
  TCheckDefaultUPIN,
  TUSBRemove,
  TCloseProject,
  TRegCertXE,
  TAppUpdate,
  SettlingTime,
  SearchStart,
  EarlyLook,
  FirstEarlyLook,
};
inline constexpr int kMonitorTimerCount = static_cast<int>(MonitorTimer::FirstEarlyLook) + 1;

// What the token session needs of the desktop and the system.
class MonitorPorts {
 public:
  enum BoxKind : unsigned { kInformation = 1, kQuestion = 2, kTopmost = 4 };

  virtual ~MonitorPorts() = default;
  // A tray balloon with an empty title, shown for 10 s (none while the icon is hidden).
  virtual void ShowBalloon(const std::wstring& text, int iconKind) = 0;
  virtual void SetIconVisible(bool visible) = 0;
  // A modal box owned by the main window, captioned P_MSGTitle.
  virtual void ShowMessage(const std::wstring& text, unsigned kind) = 0;
  virtual void ArmTimer(MonitorTimer timer) = 0;
  virtual void DisarmTimer(MonitorTimer timer) = 0;
  // Sets ExitRequested and closes the main window: the program ends.
  virtual void ExitProgram() = 0;
  virtual TConfigInfo ReadUserSettings() = 0;
  // Whether HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>
  // exists, in the registry view of our own bitness.
  virtual bool ProviderKeyExists(const std::wstring& providerName) = 0;
  virtual void WriteLog(const std::wstring& line) = 0;
  // One event in the Application log, for the administrators' tools.
  virtual void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) = 0;
  // A token's text (label, serial) from the library's 8-bit bytes.
  virtual std::wstring TokenText(std::string_view bytes) = 0;
  // The present local date and time.
  virtual LocalDateTime Now() = 0;
  // Milliseconds of a clock that only moves forward, to space out what
  // commands ask for.
  virtual std::uint64_t Milliseconds() = 0;
  virtual void SendToManager(const std::wstring& command) = 0;

  // Steps of the insertion and removal handling that other parts of the
  // program carry out.
  virtual void OpenWebAddress(const std::wstring& address, int browserMode) = 0;
  virtual void CloseDialogsOnRemoval(std::int32_t tokenCount) = 0;
};

// A token's label and serial, as events name it.
std::vector<std::wstring> TokenIdentity(MonitorPorts& ports, const TV9Info& info);
// The same as one key, to know a token again whatever its index.
std::string TokenKey(const TV9Info& info);

inline constexpr int kBalloonInfo = 1;  // NIIF_INFO
inline constexpr int kBalloonUser = 4;  // NIIF_USER: the tray icon's own image
