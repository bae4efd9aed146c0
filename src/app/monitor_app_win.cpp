#include "app/monitor_app_win.h"

#include <wtsapi32.h>

#include <random>

#include "config/managed_policy_win.h"
#include "app/session_notify_win.h"
#include "config/app_config.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "i18n/language_win.h"
#include "i18n/res_strs.h"
#include "monitor/commands.h"
#include "base/diagnostic_log.h"
#include "base/files_win.h"
#include "win32/event_log_win.h"
#include "ui/settings_dialog_win.h"
#include "update/update_check.h"
#include "win32/guarded_win.h"

namespace {

// The policy keys, at start-up and again when Windows announces a change:
// each value that cannot be used is logged and reported as an event.
Policy ReadAndReportPolicy() {
  std::vector<IgnoredPolicyValue> ignored;
  Policy policy = ReadManagedPolicy(ignored);
  for (const IgnoredPolicyValue& value : ignored) {
    WriteDiagnosticLog(value.LogLine());
    ReportMonitorEvent(MonitorEvent::kPolicyValueIgnored, {value.name, value.reason});
  }
  return policy;
}

// Support switches on the library's trace of its module calls with
// "ModuleTrace=1" in section "APPConfig" of the user's settings file, or by
// setting the variable itself. The library reads it when it starts.
void EnableModuleTraceWhenAsked() {
  if (!GetEnv(names::kModuleTraceVariable).empty())
    return;
  PrivateProfile settings(GetUserDataDir() + names::kUserConfigFile);
  if (settings.ReadString(L"APPConfig", L"ModuleTrace", L"") == L"1")
    _wputenv((std::wstring(names::kModuleTraceVariable) + L"=1").c_str());  // also the CRT's copy
}

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

}  // namespace

MonitorApp::MonitorApp(ProgramState& state, HWND applicationWindow)
    : state_(state), applicationWindow_(applicationWindow) {}

MonitorApp::~MonitorApp() = default;

void MonitorApp::Prepare() {
  // Whatever a file of an earlier run holds, a step that fails is reported
  // and the start goes on: a monitor that never starts leaves every token
  // unregistered.
  Guarded(applicationWindow_, [&] { policy_ = ReadAndReportPolicy(); });
  Guarded(applicationWindow_, [&] {
    const std::wstring exeDir = ExecutableFolder();
    const std::wstring userConfig = GetUserDataDir() + names::kUserConfigFile;
    // The language is read before the settings file is seeded: on a first
    // run it is the default, whatever the template says. An administrator's
    // language comes before either.
    const int startupLanguage = policy_.LanguageID.value_or(ReadConfiguredLanguageID(userConfig));
    CopyFileW((exeDir + names::kConfigTemplateFolder + names::kUserConfigFile).c_str(),
              userConfig.c_str(), TRUE);
    SeedUpdateConfiguration(exeDir);
    const std::wstring languageDll = SelectStartupLanguage(exeDir, startupLanguage, strings_);
    WriteLanguageCspToRegistry(names::kRegistryKeyPath, languageDll);
  });
}

bool MonitorApp::Start() {
  form_ = TMainForm::Create(applicationWindow_, state_, *this, strings_);
  if (!form_)
    return false;
  const HWND main = form_->hwnd();
  trayIcon_ = std::make_unique<TCoolTrayIcon>(main, applicationWindow_);
  // Texts first: what follows may already show them.
  form_->AttachTrayIcon(*trayIcon_);

  EnableModuleTraceWhenAsked();
  library_ = std::make_unique<DllTokenLibrary>(ExecutableFolder() + L"CorvanexMgr.dll");
  ports_ = std::make_unique<DesktopPorts>(state_, main, applicationWindow_, *trayIcon_,
                                          &MonitorApp::TimerInterval, strings_, policy_);
  // A fleet that logs on at once does not reach the update server at once.
  ports_->DelayFirstUpdateCheck(UpdateCheckDelayMs(policy_, std::random_device{}()));
  session_ =
      std::make_unique<TokenSession>(state_, *library_, *ports_, strings_, settings_, policy_);
  pinDialogs_ = std::make_unique<DesktopPinDialogs>(main, strings_, policy_);
  pinCheck_ = std::make_unique<DefaultPinCheck>(state_, *library_, *ports_, *pinDialogs_, strings_,
                                                settings_, [this](const std::string& key) {
                                                  return ended_ ? std::nullopt
                                                                : session_->IndexOfToken(key);
                                                });
  updatePorts_ = std::make_unique<DesktopUpdatePorts>(main, strings_);
  updateCheck_ = std::make_unique<UpdateCheck>(state_, *updatePorts_, strings_, policy_);
  usb_ = std::make_unique<TUSB>();
  usb_->OnArrival = [this](TUSB& usb) { session_->USBArrival(usb.ProductID, usb.VendorID); };
  usb_->OnRemoval = [this](TUSB& usb) { session_->USBRemoval(usb.ProductID, usb.VendorID); };
  usb_->OnReaderArrival = [this] { session_->TokenDeviceArrival(); };
  usb_->OnReaderRemoval = [this] { session_->TokenDeviceRemoval(); };
  usb_->WatchSmartCardReaders(policy_.WatchSmartCardReaders);
  // FormCreate is an event handler like any other: an error that escapes it
  // is reported, and the program runs on with what has started.
  Guarded(main, [&] { session_->InitMonitor(); });
  if (ended_)
    return true;  // Exit or the session's end arrived inside a start-up box
  sessionNotifyRegistered_ = RegisterSessionNotification(main);
  trayIcon_->Startup();  // the window has loaded
  return true;
}

std::span<const MonitorApp::TimerRow> MonitorApp::Timers() {
  static constexpr TimerRow rows[] = {
      // The token search after an arrival, once a second while it counts down.
      {MonitorTimer::TFindUSBKey, 1000, [](MonitorApp& app) { app.session_->TFindUSBKeyTimer(); }},
      // The balloon for a token never initialised.
      {MonitorTimer::TCheckInit, 400, [](MonitorApp& app) { app.session_->TCheckInitTimer(); }},
      {MonitorTimer::TCheckDefaultUPIN, 500, [](MonitorApp& app) { app.TCheckDefaultUPINTimer(); }},
      // Hides the tray icon when no token is left after a removal.
      {MonitorTimer::TUSBRemove, 3000, [](MonitorApp& app) { app.session_->TUSBRemoveTimer(); }},
      // The library failed to start: the box, then the end.
      {MonitorTimer::TCloseProject, 500,
       [](MonitorApp& app) { app.session_->TCloseProjectTimer(); }},
      // The full re-registration the manager asked for.
      {MonitorTimer::TRegCertXE, 1000, [](MonitorApp& app) { app.session_->TRegCertXETimer(); }},
      {MonitorTimer::TAppUpdate, 6000, [](MonitorApp& app) { app.TAppUpdateTimer(); }},
      // A USB arrival: the device settles for 2 s, the search starts 0.1 s later.
      {MonitorTimer::SettlingTime, 2000, [](MonitorApp& app) { app.session_->SettlingTimeOver(); }},
      {MonitorTimer::SearchStart, 100, [](MonitorApp& app) { app.session_->StartSearch(); }},
      // Meanwhile the early look every 250 ms, the first once the arrival's
      // message is answered.
      {MonitorTimer::EarlyLook, 250, [](MonitorApp& app) { app.session_->EarlyLook(); }},
      {MonitorTimer::FirstEarlyLook, 10, [](MonitorApp& app) { app.session_->FirstEarlyLook(); }},
  };
  static_assert(std::size(rows) == kMonitorTimerCount);
  static_assert([] {
    for (int i = 0; i < kMonitorTimerCount; ++i)
      if (static_cast<int>(rows[i].timer) != i)
        return false;
    return true;
  }());
  return rows;
}

int MonitorApp::TimerInterval(MonitorTimer timer) {
  return Timers()[static_cast<std::size_t>(timer)].intervalMs;
}

void MonitorApp::OnTimer(UINT_PTR id) {
  if (const auto timer = DesktopPorts::TimerOf(id))
    Timers()[static_cast<std::size_t>(*timer)].handler(*this);
}

void MonitorApp::TCheckDefaultUPINTimer() {
  ports_->DisarmTimer(MonitorTimer::TCheckDefaultUPIN);
  // Not below the system's prompt to trust a root: the library is inside
  // that add, and the PIN dialogs would stack on the prompt. A tick later.
  if (session_->InsideRootPrompt()) {
    ports_->ArmTimer(MonitorTimer::TCheckDefaultUPIN);
    return;
  }
  pinCheck_->CheckDefaultUserPin(session_->CurrentTokenIndex);
}

// Once per run: the tick disarms its timer before the check, which can wait
// for downloads while messages (and this timer's own) keep coming.
void MonitorApp::TAppUpdateTimer() {
  ports_->DisarmTimer(MonitorTimer::TAppUpdate);
  if (state_.UpdateCancelled || !policy_.UpdateCheck)
    return;  // the manager took updates over, or the administrator switched them off since
  // Never from inside one of our dialogs or boxes (they disable the main
  // window): the check would sit on the dialog's stack, and the user's answer
  // would take effect only once a download had ended. It comes a tick later.
  if (state_.PinDialogBusy || !IsWindowEnabled(form_->hwnd())) {
    ports_->ArmTimer(MonitorTimer::TAppUpdate);
    return;
  }
  updateCheck_->CheckForUpdate();
}

void MonitorApp::OnPolicyChange() {
  if (ended_)
    return;
  // The settings and the language follow in the main window; the module and
  // the provider are the ones the certificates in the store were added with,
  // and change at the next start.
  policy_ = ReadAndReportPolicy();
  if (session_) {
    ports_->UsePolicy(policy_);
    session_->UsePolicy(policy_);
    pinDialogs_->UsePolicy(policy_);
    updateCheck_->UsePolicy(policy_);
    usb_->WatchSmartCardReaders(policy_.WatchSmartCardReaders);
  }
  TakeSettingsAndLanguageAgain();
}

void MonitorApp::OnAdvancedSettings() {
  ShowSettingsDialog(form_->hwnd(), {ExecutableFolder(), strings_, policy_});
  // Whatever the user did there, the settings and the language are taken
  // again from the user's file, and the texts applied at once.
  TakeSettingsAndLanguageAgain();
}

void MonitorApp::TakeSettingsAndLanguageAgain() {
  if (ended_ || !IsWindow(form_->hwnd()))
    return;  // the program ended meanwhile
  SelectLanguageAfterSettingsDialog(ExecutableFolder(), settings_, strings_, policy_);
  form_->ApplyLanguageTexts();
}

void MonitorApp::OnSessionChange(WPARAM reason) {
  if (!session_)
    return;
  if (reason == WTS_CONSOLE_CONNECT || reason == WTS_REMOTE_CONNECT || reason == WTS_SESSION_UNLOCK)
    session_->SessionUnlocked();
}

void MonitorApp::OnCopyData(HWND sender, const COPYDATASTRUCT& message) {
  if (!ports_ || ended_)
    return;  // not yet, or no longer, monitoring
  // Only the manager commands the monitor: any other program on the desktop
  // could otherwise show balloons under our icon or stop the update check.
  if (!IsManagerWindow(sender, ExecutableFolder() + strings_.CallMainAppName)) {
    // One line per sender, up to a bound: a program sending from ever new
    // windows cannot grow the list or the log without end.
    if (ignoredSenders_.size() < kIgnoredSendersLogged && ignoredSenders_.insert(sender).second) {
      DWORD process = 0;
      GetWindowThreadProcessId(sender, &process);
      ports_->WriteLog(
          L"WM_COPYDATA ignored: not from the manager (process " + std::to_wstring(process) + L")" +
          (ignoredSenders_.size() == kIgnoredSendersLogged ? L"; further senders are not logged"
                                                           : L""));
    }
    return;
  }
  const CopyDataRequest request =
      DecodeCopyData(message.dwData, message.lpData, message.cbData, strings_);
  switch (request.kind) {
    case CopyDataRequest::kShowBalloon:
      if (!request.sendersOwnText || sendersTexts_.Take(ports_->Milliseconds()))
        ports_->ShowBalloon(request.text, kBalloonUser);
      break;
    case CopyDataRequest::kRegisterAgain:
      ports_->ArmTimer(MonitorTimer::TRegCertXE);
      break;
    case CopyDataRequest::kRefused:
      // Bounded like the senders above.
      if (refusalsLogged_ < kIgnoredSendersLogged) {
        ++refusalsLogged_;
        ports_->WriteLog(
            L"WM_COPYDATA refused: " + std::to_wstring(message.cbData) +
            L" bytes, more than any command" +
            (refusalsLogged_ == kIgnoredSendersLogged ? L"; further ones are not logged" : L""));
      }
      break;
    case CopyDataRequest::kLeaveUpdatesToManager:
      // A check not yet started never starts; one that waits stops waiting,
      // and its open prompt is answered No.
      ports_->DisarmTimer(MonitorTimer::TAppUpdate);
      state_.UpdateCancelled = true;
      AnswerOpenPromptNo(strings_.P_MSGTitle);
      break;
  }
}

void MonitorApp::OnDestroy() {
  ended_ = true;
  if (usb_)
    usb_->StopNotifications();  // none during the shutdown
  if (session_)
    session_->Shutdown();
  if (trayIcon_)
    trayIcon_->SetIconVisible(false);
  if (sessionNotifyRegistered_)
    UnregisterSessionNotification(form_->hwnd());
  ReportMonitorEvent(MonitorEvent::kStopped, {});
}
