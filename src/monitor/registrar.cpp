#include "monitor/registrar.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "base/container_link.h"
#include "config/fixed_names.h"
#include "monitor/expiry.h"
#include "token/token_operations.h"

namespace {

constexpr std::int32_t kExchangeOffset = 10000, kSignatureOffset = 20000;

void ReportRegistration(MonitorPorts& ports,
                        const TV9Info& info,
                        std::int32_t status,
                        std::int32_t registered) {
  const std::wstring label = TokenIdentity(ports, info)[0];
  if (status == 0)
    ports.RecordEvent(MonitorEvent::kCertificatesRegistered, {label, std::to_wstring(registered)});
  else
    ports.RecordEvent(MonitorEvent::kRegistrationFailed, {label, std::to_wstring(status)});
}

}  // namespace

void Registrar::DecideProvider() {
  // Decided once: a language reload may change the string table's name
  // later, and removal must use the name the certificates were added with.
  state_.ProviderRegistered = IsProviderRegistered();
  providerName_.clear();
  ProviderName();
}

void Registrar::RemoveOurCertificates() {
  const std::size_t added = std::exchange(inMy_, {}).size();
  if (lib_.remove_all_certs_from_store(ProviderName()) == 0 && added > 0)
    ports_.RecordEvent(MonitorEvent::kCertificatesRemoved, {std::to_wstring(added)});
}

void Registrar::Hold(Held event, const wchar_t* what) {
  if (held_.insert(event).second)
    ports_.WriteLog(std::wstring(L"Held until the root prompt is answered: ") + what);
}

void Registrar::RunHeldEvents() {
  while (!stopped_ && !held_.empty()) {
    for (const Held event : std::exchange(held_, {}))
      if (!stopped_)
        runHeld_(event);
  }
}

bool Registrar::IsProviderRegistered() {
  const bool blank = std::all_of(strings_.PROVIDER_NAME.begin(), strings_.PROVIDER_NAME.end(),
                                 [](wchar_t c) { return c <= L' '; });
  return !blank && ports_.ProviderKeyExists(strings_.PROVIDER_NAME);
}

const std::wstring& Registrar::ProviderName() {
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

std::int32_t Registrar::RegisterTokenCertificates(std::int32_t token) {
  const PassResult pass = Pass(token);
  if (token >= 0 && token < kTokenTableSize)
    ReportRegistration(ports_, state_.TokenTable[token], pass.status, pass.registered);
  return pass.status;
}

Registrar::PassResult Registrar::Pass(std::int32_t token) {
  const std::wstring& provider = ProviderName();
  ports_.WriteLog(L"Mon CSP:" + provider);
  if (token < 0 || token >= kTokenTableSize)
    return {1, 0};
  TV9Info& info = state_.TokenTable[token];
  ContainerOverflow overflow;
  std::int32_t status = LoadContainerNames(lib_, token, info, &overflow);
  if (status != 0)
    return {status, 0};
  LogOverflow(info, overflow);

  // One record serves every read of the pass.
  auto cert = std::make_unique<TV9CertInfo>();
  std::int32_t registered = 0;
  const std::int32_t containers = std::clamp(info.ContainerCount, 0, kMaxContainerNames);
  for (std::int32_t c = 0; c < containers && status == 0 && !stopped_; ++c) {
    const std::string& name = info.ContainerNames[c];
    const std::string link = KeyLink(info, name);
    for (std::int32_t keySpec : {cmgr::kExchangeKey, cmgr::kSignatureKey}) {
      if (ReadContainerCertificate(lib_, token, name, keySpec, *cert) != 0)
        continue;
      if (const std::int32_t code = AddWithKey(*cert, link, keySpec, registered); code != 0) {
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
  for (std::int32_t i = 0; i < count && !stopped_; ++i)
    if (ReadStandaloneCertificate(lib_, token, handles[i], *cert) == 0)
      AddStandalone(*cert, registered);
  return {status, registered};
}

std::string Registrar::KeyLink(const TV9Info& info, const std::string& container) const {
  // A container name is unique on its token only: while another token is
  // present, the link names its token too, so that no program signs with
  // the other token's key of that name.
  const std::string_view serial(info.Serial, strnlen(info.Serial, sizeof info.Serial));
  return tokensPresent_ > 1 && container_link::CanQualify(serial)
             ? container_link::Qualified(serial, container)
             : container;
}

void Registrar::LogOverflow(const TV9Info& info, const ContainerOverflow& overflow) {
  // A token fuller than the tables: say so; what fits is registered.
  if (overflow.namesLeftOut > 0)
    ports_.WriteLog(L"Containers left out: " + std::to_wstring(overflow.namesLeftOut) +
                    L" (more than " + std::to_wstring(kMaxContainerNames) + L")");
  if (overflow.listCut)
    ports_.WriteLog(L"Containers left out: the list did not fit in " +
                    std::to_wstring(cmgr::kContainerListSize) + L" bytes; those after " +
                    std::to_wstring(info.ContainerCount + overflow.namesLeftOut) +
                    L" were not listed");
}

std::int32_t Registrar::AddWithKey(const TV9CertInfo& cert,
                                   const std::string& link,
                                   std::int32_t keySpec,
                                   std::int32_t& registered) {
  if (stopped_)
    return 0;  // the program ended inside this pass: nothing more goes in
  // Left out when the settings say so: programs would offer the user a
  // certificate that can no longer be used.
  if (config_.SkipExpiredCertificates == 1 &&
      IsExpiryDue(cert.NotAfter[0], cert.NotAfter[1], cert.NotAfter[2], 0, ports_.Now())
          .value_or(false))
    return 0;
  // A container's certificate goes with its key, even one that says cA
  // (self-signed, or a CA operator's own).
  const std::int32_t added = lib_.container_addcert_to_store(link, ProviderName(), keySpec,
                                                             cert.CertData.data(), cert.CertLen);
  if (added == 0) {
    ++registered;
    inMy_.emplace(cert.CertData.begin(), cert.CertData.begin() + cert.CertLen);
  }
  return added;
}

void Registrar::AddStandalone(const TV9CertInfo& cert, std::int32_t& registered) {
  if (stopped_)
    return;
  // Results of adding CA certificates are not looked at.
  switch (cert.Kind) {
    case cmgr::kRootCertificate: {
      // Windows asks the user to trust a new root; one declined is not
      // asked for again in this run.
      std::string der(cert.CertData.begin(), cert.CertData.begin() + cert.CertLen);
      if (declinedRoots_.count(der))
        return;
      ++rootPromptDepth_;
      const std::int32_t added =
          lib_.helper_add_root_cert_to_store(L"ROOT", cert.CertData.data(), cert.CertLen);
      --rootPromptDepth_;
      if (added == cmgr::kRootDeclined)
        declinedRoots_.insert(std::move(der));
      else if (added == 0)
        ++registered;
      if (!InsideRootPrompt())
        RunHeldEvents();
      return;
    }
    case cmgr::kIntermediateCertificate:
      if (lib_.helper_add_root_cert_to_store(L"CA", cert.CertData.data(), cert.CertLen) == 0)
        ++registered;
      return;
    default:
      return;  // a standalone user certificate has no key here
  }
}
