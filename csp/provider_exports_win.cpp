// The entry points CryptoAPI loads a provider by. Each one turns what
// escapes into an error code (never 0 on a failure), and never lets an
// exception or a window of ours reach the program that called. The lock here
// guards the table of contexts only: an operation holds its context alive,
// so a release from inside our own prompt's message loop frees nothing it
// uses, and the operation runs with no lock held.
#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "capi_values.h"
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

// Another thread's operation on the same context goes on; the same thread
// calling again from inside one is refused.
constexpr capi::Status kBusy = ERROR_BUSY;

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

// Made at the first context and kept, with this DLL, for the rest of the
// process: the token module it opened may not be finalised (another part of
// the program may use it) and so may not be unloaded under it, and each load
// of a DLL built with our runtime costs the process a thread-local slot
// that is never given back.
ProviderProcess* process = nullptr;
std::map<HCRYPTPROV, std::shared_ptr<ProviderContext>>& Contexts() {
  static auto* contexts = new std::map<HCRYPTPROV, std::shared_ptr<ProviderContext>>;
  return *contexts;
}

ProviderProcess& Process() {
  std::lock_guard hold(TableLock());
  if (!process) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Contexts), &self);
    process = new ProviderProcess(providerModule);
  }
  return *process;
}

template <class F>
BOOL Run(F&& operation) {
  capi::Status status = capi::kFail;
  try {
    status = operation();
  } catch (const std::bad_alloc&) {
    status = static_cast<capi::Status>(NTE_NO_MEMORY);
  } catch (...) {
    status = capi::kFail;
  }
  SetLastError(status);
  return status == capi::kOk;
}

// A failed system call's error; never 0, which would report success.
capi::Status Failed() {
  const DWORD error = GetLastError();
  return error ? error : capi::kFail;
}

// The context a handle is (taken out of the table when release), or none
// for a handle we did not give out: refused, not followed.
std::shared_ptr<ProviderContext> FindContext(HCRYPTPROV handle, bool release) {
  std::lock_guard hold(TableLock());
  const auto found = Contexts().find(handle);
  if (found == Contexts().end())
    return nullptr;
  std::shared_ptr<ProviderContext> context = found->second;
  if (release)
    Contexts().erase(found);
  return context;
}

template <class F>
BOOL WithContext(HCRYPTPROV handle, F&& operation) {
  return Run([&]() -> capi::Status {
    const std::shared_ptr<ProviderContext> context = FindContext(handle, false);
    if (!context)
      return capi::kBadUid;
    if (!context->Enter())
      return kBusy;
    struct Leaving {
      ProviderContext& context;
      ~Leaving() { context.Leave(); }
    } leaving{*context};
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
    // Version 3 of the table names the provider as it is registered.
    const bool named = table && table->Version >= 3 && table->pszProvName;
    auto context = std::make_shared<ProviderContext>(
        Process(), (flags & CRYPT_SILENT) != 0,
        table ? reinterpret_cast<ReturnWindow>(reinterpret_cast<void*>(table->FuncReturnhWnd))
              : nullptr,
        named ? std::string(table->pszProvName) : std::string());
    if (capi::Status status =
            context->Open(container, (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT))
      return status;
    *handle = reinterpret_cast<HCRYPTPROV>(context.get());
    std::lock_guard hold(TableLock());
    Contexts().emplace(*handle, std::move(context));
    return capi::kOk;
  });
}

PROVIDER_EXPORT CPReleaseContext(HCRYPTPROV handle, DWORD flags) {
  return Run([&]() -> capi::Status {
    std::shared_ptr<ProviderContext> context = FindContext(handle, true);
    if (!context)
      return capi::kBadUid;
    // Gone now unless an operation on it is still running (one that our
    // prompt's message loop let this release in under): then when it ends.
    context.reset();
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
    return CryptHashData(hash, data, length, flags) ? capi::kOk : Failed();
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
    return CryptSetHashParam(hash, param, data, flags) ? capi::kOk : Failed();
  });
}

PROVIDER_EXPORT CPGetHashParam(HCRYPTPROV handle,
                               HCRYPTHASH hash,
                               DWORD param,
                               BYTE* data,
                               DWORD* length,
                               DWORD flags) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptGetHashParam(hash, param, data, length, flags) ? capi::kOk : Failed();
  });
}

PROVIDER_EXPORT CPDuplicateHash(HCRYPTPROV handle,
                                HCRYPTHASH hash,
                                DWORD*,
                                DWORD flags,
                                HCRYPTHASH* copy) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptDuplicateHash(hash, nullptr, flags, copy) ? capi::kOk : Failed();
  });
}

PROVIDER_EXPORT CPDestroyHash(HCRYPTPROV handle, HCRYPTHASH hash) {
  return WithContext(handle, [&](ProviderContext&) -> capi::Status {
    return CryptDestroyHash(hash) ? capi::kOk : Failed();
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
    return CryptGenRandom(c.software(), length, buffer) ? capi::kOk : Failed();
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

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    providerModule = module;
    DisableThreadLibraryCalls(module);
  }
  return TRUE;
}
