#include "monitor/token_session.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "config/fixed_names.h"
#include "i18n/safe_format.h"
#include "monitor/expiry.h"
#include "token/token_operations.h"

namespace {

// Registration failures, shown with the code; fixed texts of the program.
constexpr wchar_t kRegistrationFailedAtStart[] = L"注册证书失败，错误码 = %d";
constexpr wchar_t kRegistrationFailed[] = L"注册证书失败，错误码 =%d";

constexpr std::int32_t kSearchTicks = 60;

// A fixed-size text field of the library, up to its NUL or its end.
template <std::size_t N>
std::string_view UpToNul(const char (&field)[N]) {
  return std::string_view(field, std::find(field, field + N, '\0') - field);
}

}  // namespace

bool IsTokenProductId(std::int32_t productId) {
  return productId == 0x8B15 || productId == 0xFF03 || productId == 0xFF04 || productId == 0xFF05;
}

namespace {

// tag ("PID_" or "VID_") and four hexadecimal characters in a device path
// (any case), else 0.
std::int32_t ParseUsbId(std::wstring_view devicePath, std::wstring_view tag) {
  std::wstring upper(devicePath);
  for (auto& c : upper)
    if (c >= L'a' && c <= L'z')
      c = static_cast<wchar_t>(c - L'a' + L'A');
  const auto at = upper.find(tag);
  if (at == std::wstring::npos || upper.size() < at + 8)
    return 0;
  return ParseHex4(std::wstring_view(upper).substr(at + 4, 4)).value_or(0);
}

}  // namespace

std::int32_t ParseProductId(std::wstring_view devicePath) {
  return ParseUsbId(devicePath, L"PID_");
}

std::int32_t ParseVendorId(std::wstring_view devicePath) {
  return ParseUsbId(devicePath, L"VID_");
}

std::vector<std::wstring> TokenIdentity(MonitorPorts& ports, const TV9Info& info) {
  return {ports.TokenText(UpToNul(info.Label)), ports.TokenText(UpToNul(info.Serial))};
}

std::string TokenKey(const TV9Info& info) {
  return std::string(UpToNul(info.Label)) + '\n' + std::string(UpToNul(info.Serial));
}

std::optional<std::int32_t> TokenSession::IndexOfToken(const std::string& key) const {
  if (shutDown_)
    return std::nullopt;
  for (std::int32_t i = 0; i < std::min(TokenCount, kTokenTableSize); ++i)
    if (TokenKey(state_.TokenTable[i]) == key)
      return i;
  return std::nullopt;
}

void TokenSession::NotePresentTokens() {
  std::set<std::string> present;
  for (std::int32_t i = 0; i < std::min(TokenCount, kTokenTableSize); ++i) {
    const TV9Info& info = state_.TokenTable[i];
    std::string key = TokenKey(info);
    if (!presentTokens_.count(key))
      ports_.RecordEvent(MonitorEvent::kTokenInserted, TokenIdentity(ports_, info));
    present.insert(std::move(key));
  }
  presentTokens_ = std::move(present);
}

void TokenSession::InitMonitor() {
  SearchCountdown = 5;
  TokenCount = 0;
  CurrentTokenIndex = 0;
  config_ = ports_.ReadUserSettings();
  if (policy_.UpdateCheck)
    ports_.ArmTimer(MonitorTimer::TAppUpdate);
  registrar_.DecideProvider();
  // A run that was killed, crashed or lost its power left its certificates
  // behind; the scan registers those of the tokens still present again.
  if (lib_.remove_marked_certs_from_store() == kNotExported)
    ports_.WriteLog(
        L"The token library has no remove_marked_certs_from_store: what an earlier run left in "
        L"the store stays");
  InitialTokenScan();
}

void TokenSession::InitialTokenScan() {
  if (InitTokenLibrary(lib_, PolicyModule(policy_).value_or(strings_.PKCS11Name)) != 0) {
    state_.LibraryReady = false;
    ports_.ArmTimer(MonitorTimer::TCloseProject);
    return;
  }
  state_.LibraryReady = true;
  RefreshTokenList();
  std::int32_t status = 0;
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i) {
    lib_.token_reload_all_objects(i);
    status = RegisterTokenCertificates(i);
  }
  // At start-up only the last token's result is reported.
  if (TokenCount > 0 && status != 0)
    ports_.ShowMessage(SafeFormat(kRegistrationFailedAtStart, {status}),
                       MonitorPorts::kInformation);
}

void TokenSession::TCloseProjectTimer() {
  ports_.DisarmTimer(MonitorTimer::TCloseProject);
  if (shutDown_)
    return;
  ports_.ShowMessage(strings_.K_pkcs11Init_Error, MonitorPorts::kQuestion);
  ports_.ExitProgram();
}

std::int32_t TokenSession::RefreshTokenList() {
  PreviousTokenCount = TokenCount;
  std::int32_t found = 0;
  const std::int32_t status = FindAndConnectTokens(lib_, found);
  if (status != 0) {
    // None found counts as none; a failed connect leaves the count as it
    // was, so the tick that succeeds later still sees the change.
    if (found == 0)
      TokenCount = 0;
    return status;
  }
  TokenCount = found;
  registrar_.SetTokensPresent(TokenCount);
  ports_.SetIconVisible(TokenCount > 0);
  for (std::int32_t i = 0; i < TokenCount; ++i) {
    const std::int32_t info = ReadTokenInfo(lib_, i, state_.TokenTable[i]);
    if (info != 0) {
      TokenCount = 0;  // the next successful refresh counts as a change
      return info;
    }
  }
  CurrentTokenIndex = 0;
  NotePresentTokens();
  return 0;
}

void TokenSession::USBArrival(std::int32_t productId, std::int32_t vendorId) {
  if (IsTokenProductId(productId) || IsPolicyDevice(policy_, vendorId, productId))
    TokenDeviceArrival();
}

void TokenSession::TokenDeviceArrival() {
  if (shutDown_ || !state_.LibraryReady)
    return;
  // The device needs a moment before the library can see it. Another
  // arrival meanwhile starts the wait again.
  ports_.ArmTimer(MonitorTimer::SettlingTime);
  ports_.ArmTimer(MonitorTimer::EarlyLook);
  ports_.ArmTimer(MonitorTimer::FirstEarlyLook);
}

void TokenSession::FirstEarlyLook() {
  ports_.DisarmTimer(MonitorTimer::FirstEarlyLook);
  EarlyLook();
}

void TokenSession::EarlyLook() {
  if (shutDown_ || InsideRootPrompt())
    return;
  if (RefreshTokenList() != 0 || (TokenCount == PreviousTokenCount && !insertionPending_))
    return;  // not yet
  // Certificates sooner, nothing more: a module may list a token before it
  // can read all of its objects, so an early pass proves nothing. The search
  // at the end of the settling time registers again in full and announces
  // the insertion; whatever an early pass meets stays silent.
  insertionPending_ = true;
  bool complete = true;
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i) {
    lib_.token_reload_all_objects(i);
    const Registrar::PassResult pass = registrar_.Pass(i);
    complete = complete && pass.status == 0 && pass.registered > 0;
  }
  if (complete) {  // nothing left to bring early
    ports_.DisarmTimer(MonitorTimer::EarlyLook);
    ports_.DisarmTimer(MonitorTimer::FirstEarlyLook);
  }
}

void TokenSession::AnnounceInsertion() {
  ports_.ShowBalloon(strings_.K_Key_Arrival, kBalloonInfo);
  ports_.ArmTimer(MonitorTimer::TCheckInit);
  if (config_.URLOpenMode == 1)
    ports_.OpenWebAddress(config_.URL, config_.BrowserMode);
}

void TokenSession::FollowUpInsertion() {
  if (config_.CertTips == 1)
    for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i)
      CheckCertificateExpiry(i);
  if (TokenCount == 1 && !shutDown_)
    ports_.ArmTimer(MonitorTimer::TCheckDefaultUPIN);
}

void TokenSession::SettlingTimeOver() {
  ports_.DisarmTimer(MonitorTimer::SettlingTime);
  if (shutDown_)
    return;
  SearchCountdown = kSearchTicks;
  ports_.ArmTimer(MonitorTimer::SearchStart);
}

void TokenSession::StartSearch() {
  ports_.DisarmTimer(MonitorTimer::SearchStart);
  ports_.DisarmTimer(MonitorTimer::EarlyLook);  // the settling time is over
  ports_.DisarmTimer(MonitorTimer::FirstEarlyLook);
  if (!shutDown_)
    ports_.ArmTimer(MonitorTimer::TFindUSBKey);
}

void TokenSession::TFindUSBKeyTimer() {
  if (InsideRootPrompt())
    return;  // the next tick
  if (shutDown_ || --SearchCountdown <= 0) {
    ports_.DisarmTimer(MonitorTimer::TFindUSBKey);
    return;  // gave up silently
  }
  if (RefreshTokenList() != 0)
    return;  // the next tick tries again
  ports_.DisarmTimer(MonitorTimer::TFindUSBKey);
  if (PreviousTokenCount == TokenCount && !insertionPending_)
    return;
  insertionPending_ = false;

  AnnounceInsertion();
  for (std::int32_t i = 0; i < TokenCount; ++i) {
    lib_.token_reload_all_objects(i);
    const std::int32_t status = RegisterTokenCertificates(i);
    if (status != 0)
      ports_.ShowMessage(SafeFormat(kRegistrationFailed, {status}),
                         MonitorPorts::kTopmost | MonitorPorts::kInformation);
    if (shutDown_)
      return;
  }
  FollowUpInsertion();
}

void TokenSession::TCheckInitTimer() {
  ports_.DisarmTimer(MonitorTimer::TCheckInit);
  if (initBalloonShown_ || shutDown_)
    return;
  for (std::int32_t i = 0; i < std::min(TokenCount, kTokenTableSize); ++i) {
    if (!state_.TokenTable[i].IsInitialised()) {
      ports_.ShowBalloon(strings_.Init_Info, kBalloonUser);
      initBalloonShown_ = true;  // once per run
      return;
    }
  }
}

void TokenSession::USBRemoval(std::int32_t productId, std::int32_t vendorId) {
  if (IsTokenProductId(productId) || IsPolicyDevice(policy_, vendorId, productId))
    TokenDeviceRemoval();
}

void TokenSession::TokenDeviceRemoval() {
  if (shutDown_ || !state_.LibraryReady)
    return;
  if (InsideRootPrompt()) {
    registrar_.Hold(Registrar::Held::kRemoval, L"the removal");
    return;
  }
  RemoveAndRegisterAgain();
}

void TokenSession::RemoveAndRegisterAgain() {
  // A search that ran after the token had gone left the count at 0; its
  // certificates are still ours to take out.
  if (shutDown_ || (TokenCount == 0 && !registrar_.HoldsCertificates()))
    return;
  insertionPending_ = false;  // every token left is registered again below
  bool allAnswer = TokenCount > 0;
  for (std::int32_t i = 0; i < TokenCount && allAnswer; ++i)
    allAnswer = ReadTokenInfo(lib_, i, state_.TokenTable[i]) == 0;
  if (allAnswer)
    return;  // every known token is still there

  registrar_.RemoveOurCertificates();
  FindAndConnectTokens(lib_, TokenCount);
  registrar_.SetTokensPresent(TokenCount);
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i)
    if (ReadTokenInfo(lib_, i, state_.TokenTable[i]) == 0)
      RegisterTokenCertificates(i);
  NotePresentTokens();
  if (shutDown_)
    return;
  PreviousTokenCount = TokenCount;
  ports_.CloseDialogsOnRemoval(TokenCount);
  ports_.ShowBalloon(strings_.K_Key_Remove, kBalloonInfo);
  ports_.ArmTimer(MonitorTimer::TUSBRemove);
}

void TokenSession::TUSBRemoveTimer() {
  ports_.DisarmTimer(MonitorTimer::TUSBRemove);
  ports_.SetIconVisible(TokenCount > 0);
}

void TokenSession::RescanTokens() {
  if (shutDown_ || --SearchCountdown <= 0) {
    ports_.DisarmTimer(MonitorTimer::TFindUSBKey);
    return;
  }
  if (RefreshTokenList() != 0)
    return;
  ports_.DisarmTimer(MonitorTimer::TFindUSBKey);
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i) {
    lib_.token_reload_all_objects(i);
    RegisterTokenCertificates(i);
  }
}

void TokenSession::SessionUnlocked() {
  if (InsideRootPrompt()) {
    registrar_.Hold(Registrar::Held::kRescan, L"the re-scan after an unlock");
    return;
  }
  SearchCountdown = 5;
  RescanTokens();
}

void TokenSession::TRegCertXETimer() {
  // Too soon after the last one: the timer stays armed and asks again.
  if (lastReRegistration_ &&
      ports_.Milliseconds() - *lastReRegistration_ < kReRegistrationSpacingMs && !shutDown_)
    return;
  ports_.DisarmTimer(MonitorTimer::TRegCertXE);
  if (shutDown_)
    return;
  // However many "RegCert" came meanwhile: one re-registration after it.
  if (InsideRootPrompt()) {
    registrar_.Hold(Registrar::Held::kReRegistration, L"the manager's re-registration");
    return;
  }
  ReRegisterAll();
}

void TokenSession::ReRegisterAll() {
  if (shutDown_)
    return;
  lastReRegistration_ = ports_.Milliseconds();
  // The roots the user declined stay declined: a command any program can
  // send must not put that question to the user again.
  registrar_.RemoveOurCertificates();
  ports_.WriteLog(L"Registered again on the manager's request: " + std::to_wstring(TokenCount) +
                  L" token(s)");
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i) {
    lib_.token_reload_all_objects(i);
    RegisterTokenCertificates(i);
  }
  if (!shutDown_)
    ports_.SendToManager(names::kCommandLoadCert);
}

void TokenSession::RunHeld(Registrar::Held event) {
  switch (event) {
    case Registrar::Held::kRemoval:
      RemoveAndRegisterAgain();
      return;
    case Registrar::Held::kRescan:
      SearchCountdown = 5;
      RescanTokens();
      return;
    case Registrar::Held::kReRegistration:
      ReRegisterAll();
      return;
  }
}

void TokenSession::Shutdown() {
  if (shutDown_)
    return;
  shutDown_ = true;
  registrar_.Stop();
  registrar_.RemoveOurCertificates();
  ports_.SendToManager(names::kCommandClose);
  lib_.uninit_pkcs11();
}

std::int32_t TokenSession::CheckCertificateExpiry(std::int32_t token) {
  if (token < 0 || token >= kTokenTableSize)
    return 1;
  TV9Info& info = state_.TokenTable[token];
  const std::int32_t status = LoadContainerNames(lib_, token, info);
  if (status != 0)
    return status;
  auto cert = std::make_unique<TV9CertInfo>();
  const LocalDateTime now = ports_.Now();
  const std::int32_t containers = std::clamp(info.ContainerCount, 0, kMaxContainerNames);
  for (std::int32_t c = 0; c < containers; ++c) {
    for (std::int32_t keySpec : {cmgr::kExchangeKey, cmgr::kSignatureKey}) {
      if (shutDown_ || config_.CertTips != 1)
        return 0;
      if (ReadContainerCertificate(lib_, token, info.ContainerNames[c], keySpec, *cert) != 0)
        continue;
      // An end that is not a calendar date warns about nothing.
      const auto due = IsExpiryDue(cert->NotAfter[0], cert->NotAfter[1], cert->NotAfter[2],
                                   config_.CertDay, now);
      if (due.value_or(false))
        ports_.ShowMessage(
            SafeFormat(L"%s(%s %s)", {cert->SubjectName, cert->NotAfterText, strings_.K_EndTime}),
            MonitorPorts::kTopmost | MonitorPorts::kInformation);
    }
  }
  return 0;
}
