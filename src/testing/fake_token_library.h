#pragma once
#include <functional>
#include <utility>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/container_link.h"
#include "token/token_library.h"

// A scriptable token library that records every call as "name(args)".
class FakeTokenLibrary : public TokenLibrary {
 public:
  struct Cert {
    std::string der;
    std::u16string subject = u"CN=Someone";
    std::int32_t kind = 0;
    std::int32_t notAfter[3] = {2030, 1, 1};
    std::int32_t infoStatus = 0;  // helper_get_cert_info2's answer
  };
  struct Token {
    std::string label = "token";
    std::string serial;  // CK_TOKEN_INFO's serialNumber, blanks trimmed
    std::int32_t infoStatus = 0;
    std::int32_t connectStatus = 0;
    std::int32_t initialised = 1;
    std::string containerList;  // NUL-separated, as the library returns it
    std::int32_t containerStatus = 0;
    bool containerListCut = false;  // the names given are those that fit: CKR_BUFFER_TOO_SMALL
    std::int32_t reportedContainerLength = -1;  // -1: the true length
    std::map<std::pair<std::string, std::int32_t>, Cert> containerCerts;
    std::vector<Cert> standalone;
    std::int32_t reportedStandaloneCount = -1;
    std::int32_t pinState[6] = {};
    // The user PIN as the token checks it: a wrong one costs a try, the last
    // try locks; a change clears "still the default".
    std::wstring pin = L"12345678";
    std::int32_t triesLeft = 6;
    std::int32_t changeStatus = 0;
  };

  std::vector<std::string> calls;
  std::function<void()> whileRootPromptIsUp;  // once, inside the next add to "ROOT"
  bool declineRoots = false;                  // the user answers the root prompt with No
  std::vector<Token> tokens;
  bool publishedBoundaryOnly = false;  // the 20 functions, without our sweep
  std::int32_t initStatus = 0;
  std::int32_t findStatus = 0;
  std::int32_t reportedTokenCount = -1;  // -1: tokens.size()
  std::map<std::string, std::int32_t>
      addStatus;                   // "container,keySpec" -> code of container_addcert_to_store
  std::vector<std::string> added;  // "MY:container:spec:der" / "ROOT:der" / "CA:der"

  std::int32_t init_pkcs11(const std::wstring& module) override {
    Call("init_pkcs11", std::string(module.begin(), module.end()));
    return initStatus;
  }
  std::int32_t init_pkcs11_ex(const std::wstring&,
                              const std::wstring&,
                              const std::wstring&,
                              const std::wstring& module) override {
    Call("init_pkcs11_ex", std::string(module.begin(), module.end()));
    return initStatus;
  }
  std::int32_t uninit_pkcs11() override { return Call("uninit_pkcs11"), 0; }
  std::int32_t token_find(std::int32_t* handles, std::int32_t* count) override {
    Call("token_find");
    const std::int32_t n =
        reportedTokenCount >= 0 ? reportedTokenCount : static_cast<std::int32_t>(tokens.size());
    for (std::int32_t i = 0; i < std::min(n, *count); ++i)
      handles[i] = 100 + i;
    *count = n;
    return findStatus;
  }
  std::int32_t token_connect(std::int32_t t) override {
    Call("token_connect", t);
    return Valid(t) ? tokens[t].connectStatus : 3;
  }
  std::int32_t token_get_info(std::int32_t t, char* d1, char*, char*, char* d4, std::int32_t* props)
      override {
    Call("token_get_info", t);
    if (!Valid(t))
      return 3;
    // Both fill their whole fields (33 and 65 bytes) as the library does.
    std::snprintf(d1, 33, "%s", tokens[t].label.c_str());
    std::snprintf(d4, 65, "%s", tokens[t].serial.c_str());
    props[0] = 16;
    props[1] = 4;
    props[9] = tokens[t].initialised;
    return tokens[t].infoStatus;
  }
  std::int32_t token_reload_all_objects(std::int32_t t) override {
    return Call("token_reload_all_objects", t), 0;
  }
  std::int32_t container_load_all(std::int32_t t, char* names, std::int32_t* length) override {
    Call("container_load_all", t);
    if (!Valid(t))
      return 3;
    const Token& k = tokens[t];
    if (k.containerStatus)
      return k.containerStatus;
    const std::size_t n = std::min<std::size_t>(k.containerList.size(), *length);
    std::memcpy(names, k.containerList.data(), n);
    *length =
        k.reportedContainerLength >= 0 ? k.reportedContainerLength : static_cast<std::int32_t>(n);
    return k.containerListCut ? 0x150 : 0;
  }
  std::int32_t container_get_cert(std::int32_t t,
                                  const std::string& c,
                                  std::int32_t spec,
                                  unsigned char* data,
                                  std::int32_t* len) override {
    Call("container_get_cert", t, c + "," + std::to_string(spec));
    if (!Valid(t))
      return 3;
    auto it = tokens[t].containerCerts.find({c, spec});
    if (it == tokens[t].containerCerts.end())
      return 0x80001004;
    return Copy(it->second, data, len);
  }
  std::int32_t container_get_pubkey(std::int32_t t,
                                    const std::string& c,
                                    std::int32_t spec,
                                    std::int32_t*,
                                    std::int32_t*,
                                    unsigned char*,
                                    std::int32_t*) override {
    return Call("container_get_pubkey", t, c + "," + std::to_string(spec)), 0;
  }
  std::int32_t helper_get_cert_info2(const unsigned char* data,
                                     std::int32_t len,
                                     cmgr::CertInfo& info) override {
    const std::string der(reinterpret_cast<const char*>(data), len);
    Call("helper_get_cert_info2", der);
    const Cert* cert = Find(der);
    if (!cert)
      return 0x80002001;
    if (cert->infoStatus)
      return cert->infoStatus;
    // No NUL: the reader must stop at 257.
    std::fill(std::begin(info.subject), std::end(info.subject), u'X');
    const std::size_t n = std::min<std::size_t>(cert->subject.size(), 257);
    std::copy(cert->subject.begin(), cert->subject.begin() + n, info.subject);
    if (n < 257)
      info.subject[n] = 0;
    info.issuer[0] = 0;
    info.version = 3;
    std::strcpy(info.serial, "01AB");
    std::fill(std::begin(info.notBefore), std::end(info.notBefore), 0);
    info.notBefore[0] = 2024;
    info.notBefore[1] = info.notBefore[2] = 1;
    std::fill(std::begin(info.notAfter), std::end(info.notAfter), 0);
    std::copy(cert->notAfter, cert->notAfter + 3, info.notAfter);
    info.kind = cert->kind;
    return 0;
  }
  std::int32_t container_addcert_to_store(const std::string& c,
                                          const std::wstring& provider,
                                          std::int32_t spec,
                                          const unsigned char* data,
                                          std::int32_t len) override {
    Call("container_addcert_to_store", c + "," + std::to_string(spec));
    providers.push_back(provider);
    // Failures are set up per container, whichever token its link names.
    auto status = addStatus.find(container_link::Parse(c).name + "," + std::to_string(spec));
    if (status != addStatus.end())
      return status->second;
    added.push_back("MY:" + c + ":" + std::to_string(spec) + ":" +
                    std::string(reinterpret_cast<const char*>(data), len));
    return 0;
  }
  std::int32_t helper_add_root_cert_to_store(const std::wstring& store,
                                             const unsigned char* data,
                                             std::int32_t len) override {
    const std::string name(store.begin(), store.end());
    Call("helper_add_root_cert_to_store", name);
    // Windows asks the user to confirm a new root in a modal box, whose
    // message loop delivers the program's other events meanwhile.
    if (name == "ROOT" && whileRootPromptIsUp)
      std::exchange(whileRootPromptIsUp, nullptr)();
    if (name == "ROOT" && declineRoots)
      return cmgr::kRootDeclined;
    added.push_back(name + ":" + std::string(reinterpret_cast<const char*>(data), len));
    return 0;
  }
  std::int32_t remove_all_certs_from_store(const std::wstring& provider) override {
    Call("remove_all_certs_from_store", std::string(provider.begin(), provider.end()));
    providers.push_back(provider);
    return 0;
  }
  std::int32_t remove_marked_certs_from_store() override {
    return Call("remove_marked_certs_from_store"), publishedBoundaryOnly ? kNotExported : 0;
  }
  std::int32_t token_find_standalone_certs(std::int32_t t,
                                           std::int32_t* handles,
                                           std::int32_t* count) override {
    Call("token_find_standalone_certs", t);
    if (!Valid(t))
      return *count = 0, 3;
    const auto& list = tokens[t].standalone;
    const std::int32_t n = static_cast<std::int32_t>(std::min<std::size_t>(list.size(), 65));
    for (std::int32_t i = 0; i < n; ++i)
      handles[i] = 500 + i;
    *count = tokens[t].reportedStandaloneCount >= 0 ? tokens[t].reportedStandaloneCount : n;
    return 0;
  }
  std::int32_t token_get_cert(std::int32_t t,
                              std::int32_t handle,
                              unsigned char* data,
                              std::int32_t* len) override {
    Call("token_get_cert", t, std::to_string(handle));
    if (!Valid(t))
      return 3;
    const std::size_t i = static_cast<std::size_t>(handle - 500);
    if (i >= tokens[t].standalone.size())
      return 0x80001004;
    return Copy(tokens[t].standalone[i], data, len);
  }
  std::int32_t token_get_pin_state(std::int32_t t,
                                   std::int32_t kind,
                                   std::int32_t* state) override {
    Call("token_get_pin_state", t, std::to_string(kind));
    if (!Valid(t))
      return 3;
    std::copy(tokens[t].pinState, tokens[t].pinState + 6, state);
    return 0;
  }
  std::int32_t token_login(std::int32_t t, const std::wstring& pin, std::int32_t* tries) override {
    Call("token_login", t);
    if (!Valid(t))
      return 3;
    Token& token = tokens[t];
    if (token.pinState[4] == 1)
      return *tries = 0, 0xA4;  // CKR_PIN_LOCKED
    if (pin == token.pin)
      return 0;
    if (--token.triesLeft <= 0)
      token.pinState[4] = 1;
    *tries = token.triesLeft <= 0 ? 0 : token.triesLeft == 1 ? 1 : 2;
    return token.triesLeft <= 0 ? 0xA4 : 0xA0;  // CKR_PIN_INCORRECT
  }
  std::int32_t token_logout(std::int32_t t) override { return Call("token_logout", t), 0; }
  std::int32_t token_change_upin(std::int32_t t,
                                 const std::wstring& oldPin,
                                 const std::wstring& newPin) override {
    Call("token_change_upin", t);
    if (!Valid(t))
      return 3;
    Token& token = tokens[t];
    if (token.changeStatus != 0)
      return token.changeStatus;
    if (oldPin != token.pin)
      return 0xA0;
    token.pin = newPin;
    token.pinState[5] = 0;
    return 0;
  }

  std::vector<std::wstring> providers;

  std::vector<std::string> CallsNamed(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c.rfind(name + "(", 0) == 0)
        out.push_back(c);
    return out;
  }

 private:
  bool Valid(std::int32_t t) const {
    return t >= 0 && t < static_cast<std::int32_t>(tokens.size());
  }
  void Call(const std::string& name, std::int32_t t) { Call(name, std::to_string(t)); }
  void Call(const std::string& name, std::int32_t t, const std::string& more) {
    Call(name, std::to_string(t) + "," + more);
  }
  void Call(const std::string& name, const std::string& args = "") {
    calls.push_back(name + "(" + args + ")");
  }
  const Cert* Find(const std::string& der) const {
    for (const auto& t : tokens) {
      for (const auto& [key, c] : t.containerCerts)
        if (c.der == der)
          return &c;
      for (const auto& c : t.standalone)
        if (c.der == der)
          return &c;
    }
    return nullptr;
  }
  static std::int32_t Copy(const Cert& c, unsigned char* data, std::int32_t* len) {
    if (static_cast<std::int32_t>(c.der.size()) > *len)
      return 0x150;
    std::memcpy(data, c.der.data(), c.der.size());
    *len = static_cast<std::int32_t>(c.der.size());
    return 0;
  }
};
