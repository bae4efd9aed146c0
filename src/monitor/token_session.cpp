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

constexpr std::int32_t kExchangeOffset = 10000, kSignatureOffset = 20000;
constexpr std::int32_t kSearchTicks = 60;

// A fixed-size text field of the library, up to its NUL or its end.
template <std::size_t N>
std::string_view UpToNul(const char (&field)[N]) {
  return std::string_view(field, std::find(field, field + N, '\0') - field);
}

}  // namespace

int TimerInterval(MonitorTimer timer) {
  switch (timer) {
    case MonitorTimer::TFindUSBKey:
      return 1000;
    case MonitorTimer::TCheckInit:
      return 400;
    case MonitorTimer::TCheckDefaultUPIN:
      return 500;
    case MonitorTimer::TUSBRemove:
      return 3000;
    case MonitorTimer::TCloseProject:
      return 500;
    case MonitorTimer::TRegCertXE:
      return 1000;
    case MonitorTimer::TAppUpdate:
      return 6000;
    case MonitorTimer::TArrivalWait:
      return 2000;
    case MonitorTimer::TSearchArm:
      return 100;
    case MonitorTimer::TEarlySearch:
      return 250;
    case MonitorTimer::TEarlySearchNow:
      return 10;
  }
  return 1000;
}

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
  return {ports.TokenText(UpToNul(info.Desc1)), ports.TokenText(UpToNul(info.Desc4))};
}

std::string TokenKey(const TV9Info& info) {
  return std::string(UpToNul(info.Desc1)) + '\n' + std::string(UpToNul(info.Desc4));
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

void TokenSession::RemoveOurCertificates() {
  const std::size_t added = std::exchange(inMy_, {}).size();
  if (lib_.remove_all_certs_from_store(ProviderName()) == 0 && added > 0)
    ports_.RecordEvent(MonitorEvent::kCertificatesRemoved, {std::to_wstring(added)});
}

void TokenSession::HoldUntilTheRootPromptEnds(bool& queued, const wchar_t* what) {
  if (!queued)
    ports_.WriteLog(std::wstring(L"Held until the root prompt is answered: ") + what);
  queued = true;
}

void TokenSession::RunQueuedEvents() {
  while (!shutDown_ && (queued_.removal || queued_.rescan || queued_.reRegistration)) {
    const Queued now = std::exchange(queued_, Queued{});
    if (now.removal)
      RemoveAndRegisterAgain();
    if (now.rescan && !shutDown_) {
      SearchCountdown = 5;
      RescanTokens();
    }
    if (now.reRegistration)
      ReRegisterAll();
  }
}

void TokenSession::InitMonitor() {
  SearchCountdown = 5;
  TokenCount = 0;
  CurrentTokenIndex = 0;
  config_ = ports_.ReadUserSettings();
  if (policy_.UpdateCheck)
    ports_.ArmTimer(MonitorTimer::TAppUpdate);
  // Decided once: a language reload may change the string table's name
  // later, and removal must use the name the certificates were added with.
  state_.ProviderRegistered = IsProviderRegistered();
  providerName_.clear();
  ProviderName();
  // A run that was killed, crashed or lost its power left its certificates
  // behind; the scan registers those of the tokens still present again.
  if (lib_.remove_marked_certs_from_store() == kNotExported)
    ports_.WriteLog(
        L"The token library has no remove_marked_certs_from_store: what an earlier run left in "
        L"the store stays");
  InitialTokenScan();
}

void TokenSession::InitialTokenScan() {
  if (InitTokenLibrary(lib_, policy_.Pkcs11Module.value_or(strings_.PKCS11Name)) != 0) {
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
  ports_.ArmTimer(MonitorTimer::TArrivalWait);
  ports_.ArmTimer(MonitorTimer::TEarlySearch);
  ports_.ArmTimer(MonitorTimer::TEarlySearchNow);
}

void TokenSession::TEarlySearchNowTimer() {
  ports_.DisarmTimer(MonitorTimer::TEarlySearchNow);
  TEarlySearchTimer();
}

void TokenSession::TEarlySearchTimer() {
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
    const PassResult pass = RegisterPass(i);
    complete = complete && pass.status == 0 && pass.registered > 0;
  }
  if (complete) {  // nothing left to bring early
    ports_.DisarmTimer(MonitorTimer::TEarlySearch);
    ports_.DisarmTimer(MonitorTimer::TEarlySearchNow);
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

void TokenSession::TArrivalWaitTimer() {
  ports_.DisarmTimer(MonitorTimer::TArrivalWait);
  if (shutDown_)
    return;
  SearchCountdown = kSearchTicks;
  ports_.ArmTimer(MonitorTimer::TSearchArm);
}

void TokenSession::TSearchArmTimer() {
  ports_.DisarmTimer(MonitorTimer::TSearchArm);
  ports_.DisarmTimer(MonitorTimer::TEarlySearch);  // the settling time is over
  ports_.DisarmTimer(MonitorTimer::TEarlySearchNow);
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
    HoldUntilTheRootPromptEnds(queued_.removal, L"the removal");
    return;
  }
  RemoveAndRegisterAgain();
}

void TokenSession::RemoveAndRegisterAgain() {
  // A search that ran after the token had gone left the count at 0; its
  // certificates are still ours to take out.
  if (shutDown_ || (TokenCount == 0 && inMy_.empty()))
    return;
  insertionPending_ = false;  // every token left is registered again below
  bool allAnswer = TokenCount > 0;
  for (std::int32_t i = 0; i < TokenCount && allAnswer; ++i)
    allAnswer = ReadTokenInfo(lib_, i, state_.TokenTable[i]) == 0;
  if (allAnswer)
    return;  // every known token is still there

  RemoveOurCertificates();
  FindAndConnectTokens(lib_, TokenCount);
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
    HoldUntilTheRootPromptEnds(queued_.rescan, L"the re-scan after an unlock");
    return;
  }
  SearchCountdown = 5;
  RescanTokens();
}

bool TokenSession::IsProviderRegistered() {
  const bool blank = std::all_of(strings_.PROVIDER_NAME.begin(), strings_.PROVIDER_NAME.end(),
                                 [](wchar_t c) { return c <= L' '; });
  return !blank && ports_.ProviderKeyExists(strings_.PROVIDER_NAME);
}

const std::wstring& TokenSession::ProviderName() {
  if (!providerName_.empty())
    return providerName_;
  // Every link is written for a CryptoAPI provider: a name that is none (a
  // key storage provider, a typing error) would leave every private key
  // unreachable while the store looked right.
  if (policy_.ProviderName && ports_.ProviderKeyExists(*policy_.ProviderName)) {
    providerName_ = *policy_.ProviderName;
    return providerName_;
  }
  if (policy_.ProviderName) {
    const IgnoredPolicyValue ignored{
        L"ProviderName",
        L"\"" + *policy_.ProviderName + L"\" is not a registered CryptoAPI provider"};
    ports_.WriteLog(ignored.LogLine());
    ports_.RecordEvent(MonitorEvent::kPolicyValueIgnored, {ignored.name, ignored.reason});
  }
  providerName_ =
      state_.ProviderRegistered ? strings_.PROVIDER_NAME : names::kMicrosoftProviderName;
  return providerName_;
}

std::int32_t TokenSession::RegisterTokenCertificates(std::int32_t token) {
  const PassResult pass = RegisterPass(token);
  if (token >= 0 && token < kTokenTableSize)
    ReportRegistration(state_.TokenTable[token], pass.status, pass.registered);
  return pass.status;
}

TokenSession::PassResult TokenSession::RegisterPass(std::int32_t token) {
  const std::wstring& provider = ProviderName();
  ports_.WriteLog(L"Mon CSP:" + provider);
  if (token < 0 || token >= kTokenTableSize)
    return {1, 0};
  TV9Info& info = state_.TokenTable[token];
  ContainerOverflow overflow;
  std::int32_t status = LoadContainerNames(lib_, token, info, &overflow);
  if (status != 0)
    return {status, 0};
  // A token fuller than the tables: say so, then register what fits.
  if (overflow.namesLeftOut > 0)
    ports_.WriteLog(L"Containers left out: " + std::to_wstring(overflow.namesLeftOut) +
                    L" (more than " + std::to_wstring(kMaxContainerNames) + L")");
  if (overflow.listCut)
    ports_.WriteLog(L"Containers left out: the list did not fit in " +
                    std::to_wstring(cmgr::kContainerListSize) + L" bytes; those after " +
                    std::to_wstring(info.ContainerCount + overflow.namesLeftOut) +
                    L" were not listed");

  // One record serves every read of the pass. Results of adding CA
  // certificates are not looked at.
  auto cert = std::make_unique<TV9CertInfo>();
  std::int32_t registered = 0;
  const auto route = [&](const std::string* container, std::int32_t keySpec) -> std::int32_t {
    if (shutDown_)
      return 0;  // the program ended inside this pass: nothing more goes in
    std::string der(cert->CertData.begin(), cert->CertData.begin() + cert->CertLen);
    // A container's certificate goes with its key, even one that says cA
    // (self-signed, or a CA operator's own).
    if (container) {
      const std::int32_t added = lib_.container_addcert_to_store(
          *container, provider, keySpec, cert->CertData.data(), cert->CertLen);
      if (added == 0) {
        ++registered;
        inMy_.insert(std::move(der));  // what a removal takes out again
      }
      return added;
    }
    switch (cert->CertKind) {
      case cmgr::kUserCertificate:
        return 0;  // a standalone user certificate has no key here
      case cmgr::kRootCertificate: {
        // Windows asks the user to trust a new root; one declined is not
        // asked for again in this run, except by the manager's "RegCert".
        if (declinedRoots_.count(der))
          return 0;
        ++rootPromptDepth_;
        const std::int32_t added =
            lib_.helper_add_root_cert_to_store(L"ROOT", cert->CertData.data(), cert->CertLen);
        --rootPromptDepth_;
        if (added == cmgr::kRootDeclined)
          declinedRoots_.insert(std::move(der));
        else if (added == 0)
          ++registered;
        if (!InsideRootPrompt())
          RunQueuedEvents();
        return 0;
      }
      case cmgr::kIntermediateCertificate:
        if (lib_.helper_add_root_cert_to_store(L"CA", cert->CertData.data(), cert->CertLen) == 0)
          ++registered;
        return 0;
      default:
        return 0;
    }
  };

  const std::int32_t containers = std::clamp(info.ContainerCount, 0, kMaxContainerNames);
  for (std::int32_t c = 0; c < containers && status == 0 && !shutDown_; ++c) {
    const std::string& name = info.ContainerNames[c];
    for (std::int32_t keySpec : {cmgr::kExchangeKey, cmgr::kSignatureKey}) {
      if (ReadContainerCertificate(lib_, token, name, keySpec, *cert) != 0)
        continue;
      if (const std::int32_t code = route(&name, keySpec); code != 0) {
        status = code + (keySpec == cmgr::kExchangeKey ? kExchangeOffset : kSignatureOffset);
        break;  // the rest of this container and all later ones are skipped
      }
    }
  }

  // The token's standalone certificates, also after a failure above.
  std::int32_t handles[kMaxStandaloneHandles] = {};
  std::int32_t count = 0;
  lib_.token_find_standalone_certs(token, handles, &count);
  count = std::clamp(count, 0, kMaxStandaloneHandles);
  for (std::int32_t i = 0; i < count && !shutDown_; ++i)
    if (ReadStandaloneCertificate(lib_, token, handles[i], *cert) == 0)
      route(nullptr, 0);
  return {status, registered};
}

void TokenSession::ReportRegistration(const TV9Info& info,
                                      std::int32_t status,
                                      std::int32_t registered) {
  const std::wstring label = TokenIdentity(ports_, info)[0];
  if (status == 0)
    ports_.RecordEvent(MonitorEvent::kCertificatesRegistered, {label, std::to_wstring(registered)});
  else
    ports_.RecordEvent(MonitorEvent::kRegistrationFailed, {label, std::to_wstring(status)});
}

void TokenSession::TRegCertXETimer() {
  ports_.DisarmTimer(MonitorTimer::TRegCertXE);
  if (shutDown_)
    return;
  // However many "RegCert" came meanwhile: one re-registration after it.
  if (InsideRootPrompt()) {
    HoldUntilTheRootPromptEnds(queued_.reRegistration, L"the manager's re-registration");
    return;
  }
  ReRegisterAll();
}

void TokenSession::ReRegisterAll() {
  if (shutDown_)
    return;
  declinedRoots_.clear();
  RemoveOurCertificates();
  ports_.WriteLog(L"Registered again on the manager's request: " + std::to_wstring(TokenCount) +
                  L" token(s)");
  for (std::int32_t i = 0; i < TokenCount && !shutDown_; ++i) {
    lib_.token_reload_all_objects(i);
    RegisterTokenCertificates(i);
  }
  if (!shutDown_)
    ports_.SendToManager(names::kCommandLoadCert);
}

void TokenSession::Shutdown() {
  if (shutDown_)
    return;
  shutDown_ = true;
  RemoveOurCertificates();
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
