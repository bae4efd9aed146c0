#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "key_provider.h"

struct ProductSettings;

// What every context of the process shares: the provider's core over the
// tokens, and the product's settings, read at the first need.
class ProviderProcess {
 public:
  explicit ProviderProcess(HINSTANCE module);
  ~ProviderProcess();
  const HINSTANCE module;
  const ProductSettings& Settings();
  csp::KeyProvider keys;

 private:
  std::once_flag read_;
  std::unique_ptr<ProductSettings> settings_;
};

// CryptoAPI's callback for the window a program set with
// CryptSetProvParam(0, PP_CLIENT_HWND), as the development kit declares it.
using ReturnWindow = void(WINAPI*)(HWND* window);

// One context a program acquired: the container it names (none for
// CRYPT_VERIFYCONTEXT), the keys it got from it, and Microsoft's software
// provider for everything that is not the token's private key. Handles of
// hashes and session keys are the software provider's; a user key's handle
// is its entry here. Each method returns 0 or the error for SetLastError.
// Its methods may run on several threads at once; its lock guards its own
// tables only, never a module call or a prompt.
class ProviderContext {
 public:
  // registeredName: the name CryptoAPI loaded us by, when it says.
  ProviderContext(ProviderProcess& process,
                  bool silent,
                  ReturnWindow programWindow,
                  std::string registeredName);
  ~ProviderContext();
  ProviderContext(const ProviderContext&) = delete;
  ProviderContext& operator=(const ProviderContext&) = delete;

  capi::Status Open(const char* container, bool verifyOnly);

  capi::Status GetUserKey(DWORD keySpec, HCRYPTKEY* key);
  capi::Status DestroyKey(HCRYPTKEY key);
  capi::Status DuplicateKey(HCRYPTKEY key, DWORD flags, HCRYPTKEY* copy);
  capi::Status GenerateKey(ALG_ID alg, DWORD flags, HCRYPTKEY* key);
  capi::Status DeriveKey(ALG_ID alg, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* key);
  capi::Status GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags);
  capi::Status SetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
  capi::Status ExportKey(HCRYPTKEY key,
                         HCRYPTKEY wrapWith,
                         DWORD blobType,
                         DWORD flags,
                         BYTE* data,
                         DWORD* length);
  capi::Status ImportKey(const BYTE* data,
                         DWORD length,
                         HCRYPTKEY unwrapWith,
                         DWORD flags,
                         HCRYPTKEY* key);
  capi::Status Encrypt(HCRYPTKEY key,
                       HCRYPTHASH hash,
                       BOOL final,
                       DWORD flags,
                       BYTE* data,
                       DWORD* length,
                       DWORD capacity);
  capi::Status Decrypt(HCRYPTKEY key,
                       HCRYPTHASH hash,
                       BOOL final,
                       DWORD flags,
                       BYTE* data,
                       DWORD* length);

  capi::Status CreateHash(ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
  capi::Status HashSessionKey(HCRYPTHASH hash, HCRYPTKEY key, DWORD flags);
  capi::Status SignHash(HCRYPTHASH hash,
                        DWORD keySpec,
                        DWORD flags,
                        BYTE* signature,
                        DWORD* length);
  capi::Status VerifySignature(HCRYPTHASH hash,
                               const BYTE* signature,
                               DWORD length,
                               HCRYPTKEY key,
                               DWORD flags);
  HCRYPTPROV software() const { return software_; }

  // The calling thread starts an operation on this context: false when it is
  // already inside one (our prompt's message loop runs the program's
  // messages, which may call us again).
  bool Enter();
  void Leave();

  capi::Status GetProvParam(DWORD param, BYTE* data, DWORD* length, DWORD flags);
  capi::Status SetProvParam(DWORD param, const BYTE* data, DWORD flags);

 private:
  struct UserKey {
    DWORD keySpec;
    HCRYPTKEY publicKey;  // in the software provider
  };
  // The user key a handle is, copied; nothing for a session key's handle.
  std::optional<UserKey> FindUserKey(HCRYPTKEY key);
  // The software provider's handle for a key a program passes: a user key's
  // public half, or the session key itself.
  HCRYPTKEY SoftwareKey(HCRYPTKEY key);
  capi::Status NewUserKey(DWORD keySpec, HCRYPTKEY* key);
  capi::Status DecryptWithToken(DWORD keySpec,
                                std::span<const std::uint8_t> cipher,
                                SecretBytes* plain);
  // Runs op (a private-key operation of the core) with the PIN prompt of
  // this context: shown only where someone can see it.
  capi::Status WithPrompt(const std::function<capi::Status(const csp::PinAccess&)>& op);
  HWND Owner();

  ProviderProcess& process_;
  const bool silent_;
  const ReturnWindow programWindow_;  // the VTableProvStruc's FuncReturnhWnd
  const std::string registeredName_;
  HCRYPTPROV software_ = 0;
  std::optional<csp::ContainerRef> container_;  // set by Open, then only read

  std::mutex lock_;              // guards what follows
  HWND clientWindow_ = nullptr;  // PP_CLIENT_HWND
  std::map<HCRYPTKEY, std::unique_ptr<UserKey>> userKeys_;
  std::vector<std::string> enumerated_;  // PP_ENUMCONTAINERS from CRYPT_FIRST on
  std::size_t nextEnumerated_ = 0;
  std::vector<DWORD> inside_;  // threads running an operation on this context
};
