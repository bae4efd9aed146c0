// The entry points CryptoAPI loads a provider by. Each one runs under the
// process's lock, turns what escapes into an error code, and never lets an
// exception or a window of ours reach the program that called.
#include <windows.h>
#include <wincrypt.h>

#include <mutex>
#include <new>
#include <set>

#include "capi_values.h"
#include "pin_prompt_win.h"
#include "provider_context_win.h"

// The portable core's numbers are CryptoAPI's.
static_assert(capi::kMd5 == CALG_MD5 && capi::kSha1 == CALG_SHA1 &&
              capi::kSsl3ShaMd5 == CALG_SSL3_SHAMD5 && capi::kSha256 == CALG_SHA_256 &&
              capi::kSha384 == CALG_SHA_384 && capi::kSha512 == CALG_SHA_512 &&
              capi::kRsaSign == CALG_RSA_SIGN && capi::kRsaKeyExchange == CALG_RSA_KEYX);
static_assert(capi::kSimpleBlob == SIMPLEBLOB && capi::kPublicKeyBlob == PUBLICKEYBLOB &&
              capi::kPlainTextKeyBlob == PLAINTEXTKEYBLOB && capi::kNoHashOid == CRYPT_NOHASHOID &&
              capi::kAtKeyExchange == AT_KEYEXCHANGE && capi::kAtSignature == AT_SIGNATURE);
static_assert(capi::kBadUid == static_cast<DWORD>(NTE_BAD_UID) &&
              capi::kBadHash == static_cast<DWORD>(NTE_BAD_HASH) &&
              capi::kBadKey == static_cast<DWORD>(NTE_BAD_KEY) &&
              capi::kBadLength == static_cast<DWORD>(NTE_BAD_LEN) &&
              capi::kBadData == static_cast<DWORD>(NTE_BAD_DATA) &&
              capi::kBadAlgorithm == static_cast<DWORD>(NTE_BAD_ALGID) &&
              capi::kBadFlags == static_cast<DWORD>(NTE_BAD_FLAGS) &&
              capi::kBadType == static_cast<DWORD>(NTE_BAD_TYPE) &&
              capi::kNoKey == static_cast<DWORD>(NTE_NO_KEY) &&
              capi::kPermission == static_cast<DWORD>(NTE_PERM) &&
              capi::kBadKeyset == static_cast<DWORD>(NTE_BAD_KEYSET) &&
              capi::kFail == static_cast<DWORD>(NTE_FAIL) &&
              capi::kSilentContext == static_cast<DWORD>(NTE_SILENT_CONTEXT) &&
              capi::kNotSupported == static_cast<DWORD>(NTE_NOT_SUPPORTED) &&
              capi::kMoreData == ERROR_MORE_DATA &&
              capi::kInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(capi::kNoSmartCard == static_cast<DWORD>(SCARD_E_NO_SMARTCARD) &&
              capi::kRemovedCard == static_cast<DWORD>(SCARD_W_REMOVED_CARD) &&
              capi::kWrongPin == static_cast<DWORD>(SCARD_W_WRONG_CHV) &&
              capi::kPinBlocked == static_cast<DWORD>(SCARD_W_CHV_BLOCKED) &&
              capi::kCancelledByUser == static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));

namespace {

// What CryptoAPI hands CPAcquireContext (cspdk.h's VTableProvStruc, which
// the headers we build with declare only for Windows 2000).
struct ProviderTable {
  DWORD Version;
  FARPROC FuncVerifyImage;
  FARPROC FuncReturnhWnd;
  DWORD dwProvType;
  BYTE* pbContextInfo;
  DWORD cbContextInfo;
  LPSTR pszProvName;
};

HINSTANCE providerModule = nullptr;

std::recursive_mutex& ProcessLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Made at the first context, gone when the module is unloaded with none
// left; never destroyed while the process ends (its module may already be
// gone then).
ProviderProcess* process = nullptr;
std::set<ProviderContext*>& Contexts() {
  static std::set<ProviderContext*> contexts;
  return contexts;
}

template <class F>
BOOL Run(F&& operation) {
  capi::Status status = capi::kFail;
  try {
    std::lock_guard<std::recursive_mutex> hold(ProcessLock());
    status = operation();
  } catch (const std::bad_alloc&) {
    status = static_cast<capi::Status>(NTE_NO_MEMORY);
  } catch (...) {
    status = capi::kFail;
  }
  SetLastError(status);
  return status == capi::kOk;
}

// A handle we did not give out is refused, not followed.
template <class F>
BOOL WithContext(HCRYPTPROV handle, F&& operation) {
  return Run([&]() -> capi::Status {
    auto* context = reinterpret_cast<ProviderContext*>(handle);
    if (!Contexts().count(context))
      return capi::kBadUid;
    return operation(*context);
  });
}

template <class Out>
bool Missing(Out* out) {
  return out == nullptr;
}

}  // namespace

#define PROVIDER_EXPORT extern "C" __declspec(dllexport) BOOL WINAPI

PROVIDER_EXPORT CPAcquireContext(HCRYPTPROV* handle,
                                 LPCSTR container,
                                 DWORD flags,
                                 ProviderTable* table) {
  constexpr DWORD kKnown = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                           CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
  return Run([&]() -> capi::Status {
    if (Missing(handle))
      return capi::kInvalidParameter;
    if (flags & ~kKnown)
      return capi::kBadFlags;
    // A token's containers are made and removed by its own tools.
    if (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET))
      return capi::kPermission;
    if (!process)
      process = new ProviderProcess(providerModule);
    auto context = std::make_unique<ProviderContext>(*process, (flags & CRYPT_SILENT) != 0,
                                                     table ? table->FuncReturnhWnd : nullptr);
    if (capi::Status status =
            context->Open(container, (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT))
      return status;
    *handle = reinterpret_cast<HCRYPTPROV>(context.get());
    Contexts().insert(context.release());
    return capi::kOk;
  });
}

PROVIDER_EXPORT CPReleaseContext(HCRYPTPROV handle, DWORD flags) {
  return WithContext(handle, [&](ProviderContext& context) -> capi::Status {
    Contexts().erase(&context);
    delete &context;
    // Nothing of ours may stay registered once the module can be unloaded.
    if (Contexts().empty())
      UnregisterPinPromptClass(providerModule);
    return flags ? capi::kBadFlags : capi::kOk;
  });
}

PROVIDER_EXPORT CPGetUserKey(HCRYPTPROV handle, DWORD keySpec, HCRYPTKEY* key) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(key) ? capi::kInvalidParameter : c.GetUserKey(keySpec, key);
  });
}

PROVIDER_EXPORT CPGenKey(HCRYPTPROV handle, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(key) ? capi::kInvalidParameter : c.GenerateKey(alg, flags, key);
  });
}

PROVIDER_EXPORT CPDeriveKey(HCRYPTPROV handle,
                            ALG_ID alg,
                            HCRYPTHASH hash,
                            DWORD flags,
                            HCRYPTKEY* key) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(key) ? capi::kInvalidParameter : c.DeriveKey(alg, hash, flags, key);
  });
}

PROVIDER_EXPORT CPDestroyKey(HCRYPTPROV handle, HCRYPTKEY key) {
  return WithContext(handle, [&](ProviderContext& c) { return c.DestroyKey(key); });
}

PROVIDER_EXPORT CPDuplicateKey(HCRYPTPROV handle,
                               HCRYPTKEY key,
                               DWORD*,
                               DWORD flags,
                               HCRYPTKEY* copy) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(copy) ? capi::kInvalidParameter : c.DuplicateKey(key, flags, copy);
  });
}

PROVIDER_EXPORT CPSetKeyParam(HCRYPTPROV handle,
                              HCRYPTKEY key,
                              DWORD param,
                              const BYTE* data,
                              DWORD flags) {
  return WithContext(handle,
                     [&](ProviderContext& c) { return c.SetKeyParam(key, param, data, flags); });
}

PROVIDER_EXPORT CPGetKeyParam(HCRYPTPROV handle,
                              HCRYPTKEY key,
                              DWORD param,
                              BYTE* data,
                              DWORD* length,
                              DWORD flags) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(length) ? capi::kInvalidParameter
                           : c.GetKeyParam(key, param, data, length, flags);
  });
}

PROVIDER_EXPORT CPExportKey(HCRYPTPROV handle,
                            HCRYPTKEY key,
                            HCRYPTKEY wrapWith,
                            DWORD blobType,
                            DWORD flags,
                            BYTE* data,
                            DWORD* length) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(length) ? capi::kInvalidParameter
                           : c.ExportKey(key, wrapWith, blobType, flags, data, length);
  });
}

PROVIDER_EXPORT CPImportKey(HCRYPTPROV handle,
                            const BYTE* data,
                            DWORD length,
                            HCRYPTKEY unwrapWith,
                            DWORD flags,
                            HCRYPTKEY* key) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(key) ? capi::kInvalidParameter
                        : c.ImportKey(data, length, unwrapWith, flags, key);
  });
}

PROVIDER_EXPORT CPEncrypt(HCRYPTPROV handle,
                          HCRYPTKEY key,
                          HCRYPTHASH hash,
                          BOOL final,
                          DWORD flags,
                          BYTE* data,
                          DWORD* length,
                          DWORD capacity) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(length) ? capi::kInvalidParameter
                           : c.Encrypt(key, hash, final, flags, data, length, capacity);
  });
}

PROVIDER_EXPORT CPDecrypt(HCRYPTPROV handle,
                          HCRYPTKEY key,
                          HCRYPTHASH hash,
                          BOOL final,
                          DWORD flags,
                          BYTE* data,
                          DWORD* length) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(length) ? capi::kInvalidParameter
                           : c.Decrypt(key, hash, final, flags, data, length);
  });
}

PROVIDER_EXPORT CPCreateHash(HCRYPTPROV handle,
                             ALG_ID alg,
                             HCRYPTKEY key,
                             DWORD flags,
                             HCRYPTHASH* hash) {
  return WithContext(handle, [&](ProviderContext& c) {
    return Missing(hash) ? capi::kInvalidParameter : c.CreateHash(alg, key, flags, hash);
  });
}

PROVIDER_EXPORT CPHashData(HCRYPTPROV handle,
                           HCRYPTHASH hash,
                           const BYTE* data,
                           DWORD length,
                           DWORD flags) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptHashData(hash, data, length, flags) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPHashSessionKey(HCRYPTPROV handle, HCRYPTHASH hash, HCRYPTKEY key, DWORD flags) {
  return WithContext(handle,
                     [&](ProviderContext& c) { return c.HashSessionKey(hash, key, flags); });
}

PROVIDER_EXPORT CPSetHashParam(HCRYPTPROV handle,
                               HCRYPTHASH hash,
                               DWORD param,
                               const BYTE* data,
                               DWORD flags) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptSetHashParam(hash, param, data, flags) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPGetHashParam(HCRYPTPROV handle,
                               HCRYPTHASH hash,
                               DWORD param,
                               BYTE* data,
                               DWORD* length,
                               DWORD flags) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptGetHashParam(hash, param, data, length, flags) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPDuplicateHash(HCRYPTPROV handle,
                                HCRYPTHASH hash,
                                DWORD*,
                                DWORD flags,
                                HCRYPTHASH* copy) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptDuplicateHash(hash, nullptr, flags, copy) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPDestroyHash(HCRYPTPROV handle, HCRYPTHASH hash) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptDestroyHash(hash) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPSignHash(HCRYPTPROV handle,
                           HCRYPTHASH hash,
                           DWORD keySpec,
                           LPCWSTR,
                           DWORD flags,
                           BYTE* signature,
                           DWORD* length) {
  return WithContext(handle, [&](ProviderContext& c) {
    return c.SignHash(hash, keySpec, flags, signature, length);
  });
}

PROVIDER_EXPORT CPVerifySignature(HCRYPTPROV handle,
                                  HCRYPTHASH hash,
                                  const BYTE* signature,
                                  DWORD length,
                                  HCRYPTKEY key,
                                  LPCWSTR,
                                  DWORD flags) {
  return WithContext(handle, [&](ProviderContext& c) {
    return c.VerifySignature(hash, signature, length, key, flags);
  });
}

PROVIDER_EXPORT CPGenRandom(HCRYPTPROV handle, DWORD length, BYTE* buffer) {
  return WithContext(handle, [&](ProviderContext& c) -> capi::Status {
    return CryptGenRandom(c.software(), length, buffer) ? capi::kOk : GetLastError();
  });
}

PROVIDER_EXPORT CPGetProvParam(HCRYPTPROV handle,
                               DWORD param,
                               BYTE* data,
                               DWORD* length,
                               DWORD flags) {
  return WithContext(
      handle, [&](ProviderContext& c) { return c.GetProvParam(param, data, length, flags); });
}

PROVIDER_EXPORT CPSetProvParam(HCRYPTPROV handle, DWORD param, const BYTE* data, DWORD flags) {
  return WithContext(handle,
                     [&](ProviderContext& c) { return c.SetProvParam(param, data, flags); });
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    providerModule = module;
    DisableThreadLibraryCalls(module);
  } else if (reason == DLL_PROCESS_DETACH && !reserved && Contexts().empty()) {
    // Unloaded by the last CryptReleaseContext: the module was closed then.
    delete process;
    process = nullptr;
  }
  return TRUE;
}
