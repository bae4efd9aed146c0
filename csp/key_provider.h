#pragma once
// What our cryptographic provider asks of the tokens, in CryptoAPI's terms:
// containers found by name on whichever present token holds them, their
// public keys and certificates, and signing and decrypting with their
// private keys on the token, with the PIN asked for in the calling program
// when the token wants it. Portable; the CryptoAPI entry points are a thin
// layer over it, and a CNG key storage provider can be another.
//
// The user's login is the token's: PKCS#11 keeps it for the process until
// the token goes or the module is closed, which happens when the program
// releases its last context. No PIN is kept here.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/der/der.h"
#include "base/secret_bytes.h"
#include "capi_values.h"
#include "token_manager.h"

namespace csp {

// A container as a context found it: the token it was on (its place in the
// library's list, and what tells it from another token put in its place).
struct ContainerRef {
  std::int32_t token = -1;
  std::string identity;  // serial number and label
  std::string label;     // system code page, shown in the PIN prompt
  std::string name;      // system code page
};

struct PinRequest {
  std::string tokenLabel;                 // system code page
  std::optional<std::int32_t> triesLeft;  // set after a wrong PIN
};

class PinPrompt {
 public:
  virtual ~PinPrompt() = default;
  // The PIN the user gave, or nothing when they cancelled.
  virtual std::optional<SecretBytes> Ask(const PinRequest& request) = 0;
};

// How an operation may get the user's PIN: never (CRYPT_SILENT), or from
// prompt.
struct PinAccess {
  bool silent = false;
  PinPrompt* prompt = nullptr;
};

// The container part of a name a program gives: "\\.\reader\name" as smart
// card providers take it, else the name itself. Empty asks for the default
// container.
std::string ContainerPart(const std::string& asked);

class KeyProvider {
 public:
  // moduleName is asked when the module is opened: at the first use after
  // the last context was released.
  KeyProvider(tokenlib::TokenManager& tokens, std::function<std::string()> moduleName)
      : tokens_(tokens), moduleName_(std::move(moduleName)) {}

  // Each context of the calling program holds the module; the last one to go
  // closes it, which ends the login.
  void AddContext() { ++contexts_; }
  void ReleaseContext();

  // The container a program names, on whichever present token holds it; the
  // first container of the first token for an empty name.
  capi::Status FindContainer(const std::string& asked, ContainerRef* ref);
  // Every container of every present token, in token order.
  capi::Status ContainerNames(std::vector<std::string>* names);

  capi::Status PublicKey(ContainerRef& ref, std::uint32_t keySpec, der::RsaPublicKey* key);
  capi::Status Certificate(ContainerRef& ref,
                           std::uint32_t keySpec,
                           std::vector<std::uint8_t>* cert);
  // block: what SignedBlock made of the hash.
  capi::Status Sign(ContainerRef& ref,
                    std::uint32_t keySpec,
                    std::span<const std::uint8_t> block,
                    const PinAccess& access,
                    std::vector<std::uint8_t>* signature);
  // cipher big-endian; the PKCS#1 v1.5 padding is removed on the token.
  capi::Status Decrypt(ContainerRef& ref,
                       std::uint32_t keySpec,
                       std::span<const std::uint8_t> cipher,
                       const PinAccess& access,
                       SecretBytes* plain);
  // A PIN the program passes (PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN).
  capi::Status LogIn(ContainerRef& ref, std::string_view pin);

 private:
  capi::Status Open();
  struct PresentToken {
    std::int32_t token;
    std::string identity, label;
  };
  capi::Status PresentTokens(std::vector<PresentToken>* tokens);
  // The container names of one token; none when they cannot be read.
  std::vector<std::string> ContainersOf(std::int32_t token);
  // The token of ref is still the one it was found on: where it was, or
  // where the library lists it now.
  capi::Status Locate(ContainerRef& ref);
  capi::Status Entry(ContainerRef& ref, std::uint32_t keySpec, tokenlib::ContainerEntry* entry);
  // Runs op (a library call on the private key); when the token wants the
  // user logged in, logs in with a PIN from access and runs it again.
  capi::Status WithPrivateKey(ContainerRef& ref,
                              const PinAccess& access,
                              const std::function<std::int32_t()>& op);
  capi::Status LogInByPrompt(ContainerRef& ref, PinPrompt& prompt);

  tokenlib::TokenManager& tokens_;
  std::function<std::string()> moduleName_;
  int contexts_ = 0;
  bool open_ = false;
};

// The provider's error for a status of the token library.
capi::Status FromLibraryStatus(std::int32_t status);

}  // namespace csp
