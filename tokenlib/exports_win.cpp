// The 21 exported functions of CorvanexMgr.dll. Each one is a thin gate: it
// checks the caller's buffers, forwards to the token manager or the
// certificate store, and never lets an exception cross into the caller.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "cert_store.h"
#include "base/corvanex_mgr_abi.h"
#include "token_manager.h"

CMGR_FUNCTIONS(CMGR_DECLARE_EXPORT)

namespace {

// Never destroyed: ending the module from a static destructor would run
// under the loader lock. uninit_pkcs11 ends it.
tokenlib::TokenManager& Manager() {
  static auto* manager = new tokenlib::TokenManager;
  return *manager;
}

constexpr std::int32_t kErrInternal = 0x80003001;

template <class F>
std::int32_t Gate(F&& f) {
  try {
    return f();
  } catch (...) {
    return kErrInternal;
  }
}

std::string Text(const char* s) {
  return s ? std::string(s) : std::string();
}

// A PIN read where the caller keeps it: no copy of ours to wipe.
std::string_view Secret(const char* s) {
  return s ? std::string_view(s) : std::string_view();
}

}  // namespace

std::int32_t CMGR_CALL init_pkcs11(const char* module) {
  return Gate([&] {
    tokenlib::PrepareUserStores();
    return Manager().Initialise(Text(module));
  });
}

std::int32_t CMGR_CALL init_pkcs11_ex(const char* ext1,
                                      const char*,
                                      const char*,
                                      const char* module) {
  // The first text goes to the module as its initialisation parameters; the
  // other two are reserved.
  return Gate([&] {
    tokenlib::PrepareUserStores();
    return Manager().Initialise(Text(module), Text(ext1));
  });
}

std::int32_t CMGR_CALL uninit_pkcs11() {
  return Gate([&] {
    tokenlib::CloseUserStores();
    return Manager().Finalise();
  });
}

std::int32_t CMGR_CALL token_find(std::int32_t* handles, std::int32_t* count) {
  return Gate([&] {
    if (count && *count > cmgr::kMaxTokens)
      *count = cmgr::kMaxTokens;
    return Manager().Find(handles, count);
  });
}

std::int32_t CMGR_CALL token_connect(std::int32_t token) {
  return Gate([&] { return Manager().Connect(token); });
}

std::int32_t CMGR_CALL token_get_info(std::int32_t token,
                                      char* label,
                                      char* manufacturer,
                                      char* model,
                                      char* serial,
                                      std::int32_t* props) {
  return Gate([&] { return Manager().GetInfo(token, label, manufacturer, model, serial, props); });
}

std::int32_t CMGR_CALL token_reload_all_objects(std::int32_t token) {
  return Gate([&] { return Manager().Reload(token); });
}

std::int32_t CMGR_CALL container_load_all(std::int32_t token, char* names, std::int32_t* length) {
  return Gate([&] { return Manager().LoadContainers(token, names, length); });
}

std::int32_t CMGR_CALL container_get_cert(std::int32_t token,
                                          const char* container,
                                          std::int32_t keySpec,
                                          unsigned char* certData,
                                          std::int32_t* certLen) {
  return Gate([&] {
    return Manager().GetContainerCert(token, Text(container), keySpec, certData, certLen);
  });
}

std::int32_t CMGR_CALL container_get_pubkey(std::int32_t token,
                                            const char* container,
                                            std::int32_t keySpec,
                                            std::int32_t* keyBits,
                                            std::int32_t* exponentLength,
                                            unsigned char* modulus,
                                            std::int32_t* modulusLength) {
  return Gate([&] {
    return Manager().GetContainerPubKey(token, Text(container), keySpec, keyBits, exponentLength,
                                        modulus, modulusLength);
  });
}

std::int32_t CMGR_CALL helper_get_cert_info2(const unsigned char* certData,
                                             std::int32_t certLen,
                                             char16_t* subject,
                                             char16_t* issuer,
                                             std::int32_t* version,
                                             char* serial,
                                             std::int32_t* notBefore,
                                             std::int32_t* notAfter,
                                             std::int32_t* kind) {
  return Gate([&] {
    cmgr::CertInfo info;
    const std::int32_t status = tokenlib::GetCertInfo(certData, certLen, &info);
    if (status != 0)
      return status;
    // Each output the caller gave, texts up to their end.
    const auto copyText = [](const auto& from, auto* to) {
      if (to)
        std::copy(from, std::find(from, std::end(from) - 1, 0) + 1, to);
    };
    copyText(info.subject, subject);
    copyText(info.issuer, issuer);
    copyText(info.serial, serial);
    if (version)
      *version = info.version;
    if (notBefore)
      std::copy(std::begin(info.notBefore), std::end(info.notBefore), notBefore);
    if (notAfter)
      std::copy(std::begin(info.notAfter), std::end(info.notAfter), notAfter);
    if (kind)
      *kind = info.kind;
    return status;
  });
}

std::int32_t CMGR_CALL container_addcert_to_store(const char* container,
                                                  const char* provider,
                                                  std::int32_t keySpec,
                                                  const unsigned char* certData,
                                                  std::int32_t certLen) {
  return Gate([&] {
    return tokenlib::AddUserCertificate(Text(container), Text(provider), keySpec, certData,
                                        certLen);
  });
}

std::int32_t CMGR_CALL helper_add_root_cert_to_store(const char16_t* storeName,
                                                     const unsigned char* certData,
                                                     std::int32_t certLen) {
  return Gate([&] {
    return tokenlib::AddCaCertificate(storeName ? std::u16string(storeName) : u"", certData,
                                      certLen);
  });
}

std::int32_t CMGR_CALL remove_all_certs_from_store(const char* provider) {
  return Gate([&] { return tokenlib::RemoveProviderCertificates(Text(provider)); });
}

std::int32_t CMGR_CALL remove_marked_certs_from_store() {
  return Gate([] { return tokenlib::RemoveMarkedCertificates(); });
}

std::int32_t CMGR_CALL token_find_standalone_certs(std::int32_t token,
                                                   std::int32_t* handles,
                                                   std::int32_t* count) {
  return Gate([&] { return Manager().FindStandaloneCerts(token, handles, count); });
}

std::int32_t CMGR_CALL token_get_cert(std::int32_t token,
                                      std::int32_t handle,
                                      unsigned char* certData,
                                      std::int32_t* certLen) {
  return Gate([&] { return Manager().GetCert(token, handle, certData, certLen); });
}

std::int32_t CMGR_CALL token_get_pin_state(std::int32_t token,
                                           std::int32_t pinKind,
                                           std::int32_t* state) {
  return Gate([&] { return Manager().GetPinState(token, pinKind, state); });
}

std::int32_t CMGR_CALL token_login(std::int32_t token, const char* pin, std::int32_t* triesLeft) {
  return Gate([&] { return Manager().Login(token, Secret(pin), triesLeft); });
}

std::int32_t CMGR_CALL token_logout(std::int32_t token) {
  return Gate([&] { return Manager().Logout(token); });
}

std::int32_t CMGR_CALL token_change_upin(std::int32_t token,
                                         const char* oldPin,
                                         const char* newPin) {
  return Gate([&] { return Manager().ChangeUserPin(token, Secret(oldPin), Secret(newPin)); });
}
