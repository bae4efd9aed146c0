#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/app_config.h"
#include "config/policy.h"
#include "i18n/res_strs.h"
#include "monitor/monitor_ports.h"
#include "monitor/program_state.h"
#include "monitor/registrar.h"
#include "token/token_library.h"

// Token product ids the monitor reacts to, of any vendor.
bool IsTokenProductId(std::int32_t productId);
// "PID_" (or "VID_") and four hexadecimal characters in a device path (any
// case), else 0.
std::int32_t ParseProductId(std::wstring_view devicePath);
std::int32_t ParseVendorId(std::wstring_view devicePath);

// The arrival timeline of the main window: device events, token search
// with its early look and settling time, the token table, removal, re-scan
// and unlock. What goes into the store is its Registrar's.
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
        policy_(policy),
        registrar_(state, lib, ports, strings, config, policy, [this](Registrar::Held event) {
          RunHeld(event);
        }) {}

  // Windows announced a change of policy: the devices watched follow it; the
  // module and the provider stay those of the start.
  void UsePolicy(const Policy& policy) {
    policy_ = policy;
    registrar_.UsePolicy(policy);
  }

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
  std::int32_t RegisterTokenCertificates(std::int32_t token) {
    return registrar_.RegisterTokenCertificates(token);
  }
  const std::wstring& ProviderName() { return registrar_.ProviderName(); }
  bool InsideRootPrompt() const { return registrar_.InsideRootPrompt(); }
  // One box per certificate of the token's containers that ends within
  // CertDay days; the status of reading the container list.
  std::int32_t CheckCertificateExpiry(std::int32_t token);

  // The timers' handlers.
  void TFindUSBKeyTimer();
  void TCheckInitTimer();
  void TCloseProjectTimer();
  void TUSBRemoveTimer();
  void TRegCertXETimer();
  // The settling time after a USB arrival is waited for by timers, so that
  // the tray, the manager and logoff are answered meanwhile: when it is
  // over, the search countdown is set and the token search starts.
  void SettlingTimeOver();
  void StartSearch();
  // Meanwhile the token is looked for early, and its certificates registered
  // as soon as the library can read them; the search still makes the full
  // pass and announces the insertion.
  void EarlyLook();
  void FirstEarlyLook();

  // The library's part of the shutdown: certificates out of the store,
  // "CLOSE" to the manager, the library ended. Once it has run, every entry
  // point does nothing, so a handler still running below a box that was open
  // when the program ended stops at once.
  void Shutdown();

  // The index of the token with this TokenKey in the table of the last
  // refresh; nothing when it is not there (any more).
  std::optional<std::int32_t> IndexOfToken(const std::string& key) const;

  std::int32_t SearchCountdown = 5;
  std::int32_t TokenCount = 0;
  std::int32_t PreviousTokenCount = 0;
  std::int32_t CurrentTokenIndex = 0;

 private:
  // An event the registrar held during the root prompt, now run.
  void RunHeld(Registrar::Held event);
  // What an insertion shows and starts around its registration.
  void AnnounceInsertion();
  void FollowUpInsertion();
  void RemoveAndRegisterAgain();
  void ReRegisterAll();
  // The tokens of the table now: one newly there is reported as inserted.
  void NotePresentTokens();

  ProgramState& state_;
  TokenLibrary& lib_;
  MonitorPorts& ports_;
  TResStrs& strings_;
  TConfigInfo& config_;
  Policy policy_;
  Registrar registrar_;

  bool initBalloonShown_ = false;
  bool shutDown_ = false;
  // When the manager's last re-registration ran: any program of the user can
  // send "RegCert" in its name, so they run at most once in kReRegistrationSpacingMs.
  std::optional<std::uint64_t> lastReRegistration_;
  static constexpr std::uint64_t kReRegistrationSpacingMs = 5000;
  bool insertionPending_ = false;        // found early, the insertion not yet announced
  std::set<std::string> presentTokens_;  // label and serial of each token last listed
};
