#include "app/desktop_ports_win.h"

#include <algorithm>
#include <utility>

#include "win32/event_log_win.h"
#include "base/text_win.h"
#include "config/app_config.h"
#include "config/policy.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "base/diagnostic_log.h"
#include "i18n/res_strs.h"
#include "monitor/commands.h"
#include "monitor/web_address.h"
#include "base/unique_handle_win.h"

namespace {

constexpr UINT_PTR kTimerBase = 100;  // timer ids: kTimerBase + MonitorTimer
constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

UINT_PTR TimerId(MonitorTimer timer) {
  return kTimerBase + static_cast<UINT_PTR>(timer);
}

}  // namespace

std::optional<MonitorTimer> DesktopPorts::TimerOf(UINT_PTR id) {
  if (id < kTimerBase || id >= kTimerBase + kMonitorTimerCount)
    return std::nullopt;
  return static_cast<MonitorTimer>(id - kTimerBase);
}

void DesktopPorts::ShowBalloon(const std::wstring& text, int iconKind) {
  trayIcon_.ShowBalloon(L"", text, static_cast<std::uint8_t>(iconKind), 10);
}

void DesktopPorts::SetIconVisible(bool visible) {
  trayIcon_.SetIconVisible(visible);
}

void DesktopPorts::ShowMessage(const std::wstring& text, unsigned kind) {
  UINT flags = MB_OK;
  if (kind & kInformation)
    flags |= MB_ICONINFORMATION;
  if (kind & kQuestion)
    flags |= MB_ICONQUESTION;
  if (kind & kTopmost)
    flags |= MB_TOPMOST;
  MessageBoxW(mainWindow_, text.c_str(), strings_.P_MSGTitle.c_str(), flags);
}

void DesktopPorts::ArmTimer(MonitorTimer timer) {
  int interval = intervalOf_(timer);
  if (timer == MonitorTimer::TAppUpdate && firstUpdateDelay_)
    interval = *std::exchange(firstUpdateDelay_, std::nullopt);
  // SetTimer takes at least USER_TIMER_MINIMUM (10 ms).
  SetTimer(mainWindow_, TimerId(timer), static_cast<UINT>(std::max(interval, 10)), nullptr);
}

void DesktopPorts::DisarmTimer(MonitorTimer timer) {
  KillTimer(mainWindow_, TimerId(timer));
}

void DesktopPorts::ExitProgram() {
  state_.ExitRequested = true;
  PostMessageW(mainWindow_, WM_CLOSE, 0, 0);
}

TConfigInfo DesktopPorts::ReadUserSettings() {
  TConfigInfo config{};
  ReadAppConfig(GetUserDataDir() + names::kUserConfigFile, config);
  return WithPolicySettings(policy_, config);
}

bool DesktopPorts::ProviderKeyExists(const std::wstring& providerName) {
  // The view of our own bitness: where a program of our bitness that opens a
  // linked key finds the provider, and where our installer of that bitness
  // registers ours (the 32-bit product's in the 32-bit view, the 64-bit
  // build's in the 64-bit view).
  UniqueRegKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kProviderKey + providerName).c_str(), 0, KEY_READ,
                       key.put()) == ERROR_SUCCESS;
}

void DesktopPorts::WriteLog(const std::wstring& line) {
  WriteDiagnosticLog(line);
}

void DesktopPorts::RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) {
  ReportMonitorEvent(event, texts);
}

std::wstring DesktopPorts::TokenText(std::string_view bytes) {
  return FromAnsi(bytes);
}

LocalDateTime DesktopPorts::Now() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void DesktopPorts::SendToManager(const std::wstring& command) {
  SendCopyDataCommand(command, names::kManagerWindowClass, applicationWindow_);
}

void DesktopPorts::OpenWebAddress(const std::wstring& address, int browserMode) {
  ::OpenWebAddress(mainWindow_, address, browserMode);
}

void DesktopPorts::CloseDialogsOnRemoval(std::int32_t tokenCount) {
  ::CloseDialogsOnRemoval(tokenCount, strings_.P_MSGTitle);
}
