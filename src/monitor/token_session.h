#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/app_config.h"
#include "config/fixed_date.h"
#include "config/policy.h"
#include "i18n/res_strs.h"
#include "config/monitor_events.h"
#include "monitor/program_state.h"
#include "token/token_library.h"

// The one-shot timers through which all token work is sequenced.
enum class MonitorTimer {
  TFindUSBKey,        // 1000 ms: token search after an arrival
  TCheckInit,         // 400 ms: balloon for a token never initialised
  TCheckDefaultUPIN,  // 500 ms: default-PIN check
  TUSBRemove,         // 3000 ms: hide the tray icon when no token is left
  TCloseProject,      // 500 ms: the library failed to start
  TRegCertXE,         // 1000 ms: full re-registration asked by the manager
  TAppUpdate,         // 6000 ms: the update check
  // The settling time after a USB arrival, waited for by timers so that the
  // tray, the manager and logoff are answered meanwhile.
  TArrivalWait,  // 2000 ms: the device settles; the search countdown is set
  TSearchArm,    // 100 ms: then the token search starts
  // Meanwhile the token is looked for early, and its certificates registered
  // as soon as the library can read them; the search above still makes the
  // full pass and announces the insertion.
  TEarlySearch,     // 250 ms
  TEarlySearchNow,  // 10 ms: the first look, once the arrival's message is answered
};
int TimerInterval(MonitorTimer timer);

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
  // exists, in the 32-bit view.
  virtual bool ProviderKeyExists(const std::wstring& providerName) = 0;
  virtual void WriteLog(const std::wstring& line) = 0;
  // One event in the Application log, for the administrators' tools.
  virtual void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) = 0;
  // A token's text (label, serial) from the library's 8-bit bytes.
  virtual std::wstring TokenText(std::string_view bytes) = 0;
  // The present local date and time.
  virtual LocalDateTime Now() = 0;
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

// Token product ids the monitor reacts to, of any vendor.
bool IsTokenProductId(std::int32_t productId);
// "PID_" (or "VID_") and four hexadecimal characters in a device path (any
// case), else 0.
std::int32_t ParseProductId(std::wstring_view devicePath);
std::int32_t ParseVendorId(std::wstring_view devicePath);

// The token session of the main window: device events, token search, token
// table, certificate registration, removal and re-scan.
class TokenSession {
 public:
  TokenSession(ProgramState& state,
               TokenLibrary& lib,
               MonitorPorts& ports,
               TResStrs& strings,
               TConfigInfo& config,
               const Policy& policy = kNoPolicy)
      : state_(state),
        lib_(lib),
        ports_(ports),
        strings_(strings),
        config_(config),
        policy_(policy) {}

  // After the device window exists: settings, update timer, provider check,
  // library start and the first registration of tokens already present.
  void InitMonitor();
  void InitialTokenScan();
  std::int32_t RefreshTokenList();
  // A USB device came or went: only one of the tokens' (the built-in product
  // ids and those the policy adds) starts anything.
  void USBArrival(std::int32_t productId, std::int32_t vendorId = 0);
  void USBRemoval(std::int32_t productId, std::int32_t vendorId = 0);
  // A device that may hold a token came or went (a smart-card reader when
  // the policy asks for them).
  void TokenDeviceArrival();
  void TokenDeviceRemoval();
  void RescanTokens();
  // The user's session was unlocked or reconnected: tokens may have come or
  // gone meanwhile.
  void SessionUnlocked();
  std::int32_t RegisterTokenCertificates(std::int32_t token);
  // Whether the provider named by the string table is installed; an empty
  // name never is.
  bool IsProviderRegistered();
  // One box per certificate of the token's containers that ends within
  // CertDay days; the status of reading the container list.
  std::int32_t CheckCertificateExpiry(std::int32_t token);
  // The provider certificates are registered and removed with: the policy's,
  // else the string table's when it is installed, else Microsoft's. Decided at start-up (or
  // at the first pass) and kept, whatever a language reload does.
  const std::wstring& ProviderName();

  void TFindUSBKeyTimer();
  void TCheckInitTimer();
  void TCloseProjectTimer();
  void TUSBRemoveTimer();
  void TRegCertXETimer();
  void TArrivalWaitTimer();
  void TSearchArmTimer();
  void TEarlySearchTimer();
  void TEarlySearchNowTimer();

  // The library's part of the shutdown: certificates out of the store,
  // "CLOSE" to the manager, the library ended. Once it has run, every entry
  // point does nothing, so a handler still running below a box that was open
  // when the program ended stops at once.
  void Shutdown();

  // Whether the library is inside an add to "ROOT": Windows asks the user to
  // trust a new root in a modal box whose message loop delivers the
  // program's events, and the library must not be entered again below it.
  bool InsideRootPrompt() const { return rootPromptDepth_ > 0; }

  // The index of the token with this TokenKey in the table of the last
  // refresh; nothing when it is not there (any more).
  std::optional<std::int32_t> IndexOfToken(const std::string& key) const;

  std::int32_t SearchCountdown = 5;
  std::int32_t TokenCount = 0;
  std::int32_t PreviousTokenCount = 0;
  std::int32_t CurrentTokenIndex = 0;

 private:
  ProgramState& state_;
  TokenLibrary& lib_;
  MonitorPorts& ports_;
  TResStrs& strings_;
  TConfigInfo& config_;
  const Policy& policy_;
  // A removal, an unlock re-scan or a manager's re-registration that arrives
  // inside the root prompt is kept (each at most once) and run as soon as the
  // add has returned; elsewhere (our own boxes) they run at once. Logoff
  // always runs at once, and the pass it interrupted stops at its next step.
  void RunQueuedEvents();
  // Queues one of them, saying so in the log the first time.
  void HoldUntilTheRootPromptEnds(bool& queued, const wchar_t* what);
  // What an insertion shows and starts around its registration.
  void AnnounceInsertion();
  void FollowUpInsertion();
  void RemoveAndRegisterAgain();
  void ReRegisterAll();
  struct PassResult {
    std::int32_t status;
    std::int32_t registered;  // certificates that went into a store
  };
  // One registration pass of a token, reported by the caller or not at all.
  PassResult RegisterPass(std::int32_t token);
  void ReportRegistration(const TV9Info& info, std::int32_t status, std::int32_t registered);
  // Takes every certificate of ours out of "MY", and says how many went (CA
  // certificates stay in their stores).
  void RemoveOurCertificates();
  // The tokens of the table now: one newly there is reported as inserted.
  void NotePresentTokens();

  bool initBalloonShown_ = false;
  bool shutDown_ = false;
  std::wstring providerName_;
  int rootPromptDepth_ = 0;
  bool insertionPending_ = false;        // found early, the insertion not yet announced
  std::set<std::string> declinedRoots_;  // the DER of each root the user declined
  std::set<std::string> presentTokens_;  // label and serial of each token last listed
  std::set<std::string> inMy_;  // the DER of each certificate added to "MY" since our last removal
  struct Queued {
    bool removal = false;
    bool rescan = false;
    bool reRegistration = false;
  } queued_;
};
