#include "provider_context_win.h"

#include <algorithm>
#include <cstring>

#include "base/files_win.h"
#include "base/text_win.h"
#include "key_blobs.h"
#include "pin_prompt_win.h"
#include "config/product_settings_win.h"

namespace {

constexpr DWORD kImplementation = CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE;
constexpr DWORD kProviderVersion = 0x0101;  // 1.1, as the provider's name says
constexpr DWORD kKeySizeStep = 8;

// A failed system call's error; never 0, which would report success.
capi::Status LastError() {
  const DWORD error = GetLastError();
  return error ? error : capi::kFail;
}

capi::Status Result(BOOL succeeded) {
  return succeeded ? capi::kOk : LastError();
}

capi::Status WriteNumber(DWORD value, BYTE* data, DWORD* length) {
  return csp::WriteOut({reinterpret_cast<const std::uint8_t*>(&value), sizeof value}, data,
                       reinterpret_cast<std::uint32_t*>(length));
}

capi::Status WriteText(const std::string& text, BYTE* data, DWORD* length) {
  return csp::WriteOut({reinterpret_cast<const std::uint8_t*>(text.c_str()), text.size() + 1}, data,
                       reinterpret_cast<std::uint32_t*>(length));
}

}  // namespace

ProviderProcess::ProviderProcess(HINSTANCE providerModule)
    : module(providerModule), keys([this] { return Settings().module; }) {}

ProviderProcess::~ProviderProcess() = default;

const ProductSettings& ProviderProcess::Settings() {
  std::call_once(read_, [this] {
    const std::wstring path = ModuleFileName(module);
    settings_ = std::make_unique<ProductSettings>(
        ReadProductSettings(path.substr(0, path.find_last_of(L'\\') + 1)));
  });
  return *settings_;
}

ProviderContext::ProviderContext(ProviderProcess& process,
                                 bool silent,
                                 ReturnWindow programWindow,
                                 std::string registeredName)
    : process_(process),
      silent_(silent),
      programWindow_(programWindow),
      registeredName_(std::move(registeredName)) {
  process_.keys.AddContext();
}

bool ProviderContext::Enter() {
  std::lock_guard hold(lock_);
  const DWORD thread = GetCurrentThreadId();
  if (std::find(inside_.begin(), inside_.end(), thread) != inside_.end())
    return false;
  inside_.push_back(thread);
  return true;
}

void ProviderContext::Leave() {
  std::lock_guard hold(lock_);
  const auto at = std::find(inside_.begin(), inside_.end(), GetCurrentThreadId());
  if (at != inside_.end())
    inside_.erase(at);
}

ProviderContext::~ProviderContext() {
  for (auto& [handle, key] : userKeys_)
    CryptDestroyKey(key->publicKey);
  if (software_)
    CryptReleaseContext(software_, 0);
  process_.keys.ReleaseContext();
}

capi::Status ProviderContext::Open(const char* container, bool verifyOnly) {
  if (!CryptAcquireContextW(&software_, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return LastError();
  if (verifyOnly)
    return capi::kOk;
  csp::ContainerRef ref;
  if (capi::Status status = process_.keys.FindContainer(container ? container : "", &ref))
    return status;
  container_ = std::move(ref);
  return capi::kOk;
}

std::optional<ProviderContext::UserKey> ProviderContext::FindUserKey(HCRYPTKEY key) {
  std::lock_guard hold(lock_);
  const auto found = userKeys_.find(key);
  return found == userKeys_.end() ? std::nullopt : std::optional<UserKey>(*found->second);
}

HCRYPTKEY ProviderContext::SoftwareKey(HCRYPTKEY key) {
  const std::optional<UserKey> user = FindUserKey(key);
  return user ? user->publicKey : key;
}

capi::Status ProviderContext::NewUserKey(DWORD keySpec, HCRYPTKEY* key) {
  if (!container_)
    return capi::kNoKey;  // a verification context has no keys of its own
  der::RsaPublicKey rsa;
  if (capi::Status status = process_.keys.PublicKey(*container_, keySpec, &rsa))
    return status;
  const std::vector<std::uint8_t> blob =
      csp::PublicKeyBlob(keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, rsa);
  auto user = std::make_unique<UserKey>(UserKey{keySpec, 0});
  if (blob.empty() || !CryptImportKey(software_, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                                      &user->publicKey))
    return capi::kBadKey;
  *key = reinterpret_cast<HCRYPTKEY>(user.get());
  std::lock_guard hold(lock_);
  userKeys_.emplace(*key, std::move(user));
  return capi::kOk;
}

capi::Status ProviderContext::GetUserKey(DWORD keySpec, HCRYPTKEY* key) {
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
    return capi::kBadKey;
  return NewUserKey(keySpec, key);
}

capi::Status ProviderContext::DestroyKey(HCRYPTKEY key) {
  std::unique_ptr<UserKey> user;
  {
    std::lock_guard hold(lock_);
    if (const auto found = userKeys_.find(key); found != userKeys_.end()) {
      user = std::move(found->second);
      userKeys_.erase(found);
    }
  }
  return Result(CryptDestroyKey(user ? user->publicKey : key));
}

capi::Status ProviderContext::DuplicateKey(HCRYPTKEY key, DWORD flags, HCRYPTKEY* copy) {
  if (const std::optional<UserKey> user = FindUserKey(key))
    return NewUserKey(user->keySpec, copy);
  return Result(CryptDuplicateKey(key, nullptr, flags, copy));
}

capi::Status ProviderContext::GenerateKey(ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  // Keys are made on the token by its own tools, not through us.
  if (alg == AT_KEYEXCHANGE || alg == AT_SIGNATURE || GET_ALG_CLASS(alg) == ALG_CLASS_SIGNATURE ||
      GET_ALG_CLASS(alg) == ALG_CLASS_KEY_EXCHANGE)
    return capi::kNotSupported;
  return Result(CryptGenKey(software_, alg, flags, key));
}

capi::Status ProviderContext::DeriveKey(ALG_ID alg, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* key) {
  return Result(CryptDeriveKey(software_, alg, hash, flags, key));
}

capi::Status ProviderContext::GetKeyParam(HCRYPTKEY key,
                                          DWORD param,
                                          BYTE* data,
                                          DWORD* length,
                                          DWORD flags) {
  if (const std::optional<UserKey> user = FindUserKey(key); user && param == KP_CERTIFICATE) {
    std::vector<std::uint8_t> cert;
    if (capi::Status status = process_.keys.Certificate(*container_, user->keySpec, &cert))
      return status;
    return csp::WriteOut(cert, data, reinterpret_cast<std::uint32_t*>(length));
  }
  return Result(CryptGetKeyParam(SoftwareKey(key), param, data, length, flags));
}

capi::Status ProviderContext::SetKeyParam(HCRYPTKEY key,
                                          DWORD param,
                                          const BYTE* data,
                                          DWORD flags) {
  // A user key's parameters are the token's: a certificate is written by
  // the token's tools, not through us.
  if (FindUserKey(key))
    return capi::kNotSupported;
  return Result(CryptSetKeyParam(key, param, data, flags));
}

capi::Status ProviderContext::ExportKey(HCRYPTKEY key,
                                        HCRYPTKEY wrapWith,
                                        DWORD blobType,
                                        DWORD flags,
                                        BYTE* data,
                                        DWORD* length) {
  if (FindUserKey(key) && blobType != PUBLICKEYBLOB)
    return capi::kPermission;  // a private key never leaves the token
  return Result(CryptExportKey(SoftwareKey(key), wrapWith ? SoftwareKey(wrapWith) : 0, blobType,
                               flags, data, length));
}

capi::Status ProviderContext::ImportKey(const BYTE* data,
                                        DWORD length,
                                        HCRYPTKEY unwrapWith,
                                        DWORD flags,
                                        HCRYPTKEY* key) {
  if (!data)
    return capi::kInvalidParameter;
  const std::span<const std::uint8_t> blob(data, length);
  if (!blob.empty() && (blob[0] == PRIVATEKEYBLOB))
    return capi::kNotSupported;  // the token's keys come from the token
  const std::optional<UserKey> user = unwrapWith ? FindUserKey(unwrapWith) : std::nullopt;
  // A session key encrypted to the token's key: with the key a program
  // names, or with the container's exchange key, as CMS decryption asks.
  if (!blob.empty() && blob[0] == SIMPLEBLOB && (user || (!unwrapWith && container_))) {
    const auto simple = csp::ParseSimpleBlob(blob);
    if (!simple)
      return capi::kBadData;
    SecretBytes plain;
    if (capi::Status status =
            DecryptWithToken(user ? user->keySpec : AT_KEYEXCHANGE, simple->encryptedKey, &plain))
      return status;
    const SecretBytes plainBlob = csp::PlainTextKeyBlob(
        simple->keyAlg, {reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()});
    return Result(CryptImportKey(software_, reinterpret_cast<const BYTE*>(plainBlob.data()),
                                 static_cast<DWORD>(plainBlob.size()), 0, flags, key));
  }
  return Result(CryptImportKey(software_, data, length, unwrapWith ? SoftwareKey(unwrapWith) : 0,
                               flags, key));
}

capi::Status ProviderContext::Encrypt(HCRYPTKEY key,
                                      HCRYPTHASH hash,
                                      BOOL final,
                                      DWORD flags,
                                      BYTE* data,
                                      DWORD* length,
                                      DWORD capacity) {
  return Result(CryptEncrypt(SoftwareKey(key), hash, final, flags, data, length, capacity));
}

capi::Status ProviderContext::Decrypt(HCRYPTKEY key,
                                      HCRYPTHASH hash,
                                      BOOL final,
                                      DWORD flags,
                                      BYTE* data,
                                      DWORD* length) {
  const std::optional<UserKey> user = FindUserKey(key);
  if (!user)
    return Result(CryptDecrypt(key, hash, final, flags, data, length));
  // CRYPT_OAEP, and unchecked padding, are not what the token's mechanism
  // does: refused, never done another way.
  if (flags)
    return capi::kBadFlags;
  if (!data || !length)
    return capi::kInvalidParameter;
  SecretBytes plain;
  if (capi::Status status = DecryptWithToken(user->keySpec, csp::Reversed({data, *length}), &plain))
    return status;
  // The module's answer fits the program's buffer, or nothing is written.
  if (plain.size() > *length)
    return capi::kBadLength;
  std::memcpy(data, plain.data(), plain.size());
  *length = static_cast<DWORD>(plain.size());
  if (hash && !CryptHashData(hash, data, *length, 0))
    return LastError();
  return capi::kOk;
}

capi::Status ProviderContext::DecryptWithToken(DWORD keySpec,
                                               std::span<const std::uint8_t> cipher,
                                               SecretBytes* plain) {
  return WithPrompt([&](const csp::PinAccess& access) {
    return process_.keys.Decrypt(*container_, keySpec, cipher, access, plain);
  });
}

capi::Status ProviderContext::WithPrompt(
    const std::function<capi::Status(const csp::PinAccess&)>& op) {
  DesktopPinPrompt prompt(
      process_.Settings().strings, [this] { return Owner(); }, process_.module);
  return op({silent_ || !CanPromptHere(), &prompt});
}

capi::Status ProviderContext::CreateHash(ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  if (key && FindUserKey(key))
    return capi::kBadKey;  // an HMAC takes a session key
  return Result(CryptCreateHash(software_, alg, key, flags, hash));
}

capi::Status ProviderContext::HashSessionKey(HCRYPTHASH hash, HCRYPTKEY key, DWORD flags) {
  if (FindUserKey(key))
    return capi::kBadKey;
  return Result(CryptHashSessionKey(hash, key, flags));
}

capi::Status ProviderContext::SignHash(HCRYPTHASH hash,
                                       DWORD keySpec,
                                       DWORD flags,
                                       BYTE* signature,
                                       DWORD* length) {
  if (flags & ~static_cast<DWORD>(CRYPT_NOHASHOID))
    return capi::kBadFlags;
  if (!container_)
    return capi::kNoKey;
  if (!length)
    return capi::kInvalidParameter;
  der::RsaPublicKey rsa;
  if (capi::Status status = process_.keys.PublicKey(*container_, keySpec, &rsa))
    return status;
  // The size first: a program asks for it before it gives a buffer.
  if (!signature || *length < rsa.modulus.size()) {
    const DWORD room = *length;
    *length = static_cast<DWORD>(rsa.modulus.size());
    return signature && room < rsa.modulus.size() ? capi::kMoreData : capi::kOk;
  }
  ALG_ID alg = 0;
  DWORD algLength = sizeof alg;
  BYTE value[64];
  DWORD valueLength = sizeof value;
  if (!CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&alg), &algLength, 0) ||
      !CryptGetHashParam(hash, HP_HASHVAL, value, &valueLength, 0))
    return LastError();
  capi::Status status = capi::kOk;
  const auto block = csp::SignedBlock(alg, {value, valueLength}, flags, &status);
  if (!block)
    return status;
  std::vector<std::uint8_t> result;
  if ((status = WithPrompt([&](const csp::PinAccess& access) {
         return process_.keys.Sign(*container_, keySpec, *block, access, &result);
       })))
    return status;
  const std::vector<std::uint8_t> littleEndian = csp::Reversed(result);
  return csp::WriteOut(littleEndian, signature, reinterpret_cast<std::uint32_t*>(length));
}

capi::Status ProviderContext::VerifySignature(HCRYPTHASH hash,
                                              const BYTE* signature,
                                              DWORD length,
                                              HCRYPTKEY key,
                                              DWORD flags) {
  return Result(CryptVerifySignatureW(hash, signature, length, SoftwareKey(key), nullptr, flags));
}

capi::Status ProviderContext::GetProvParam(DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  if (!length)
    return capi::kInvalidParameter;
  switch (param) {
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX:
      return Result(CryptGetProvParam(software_, param, data, length, flags));
    case PP_ENUMCONTAINERS: {
      bool fresh;
      {
        std::lock_guard hold(lock_);
        fresh = (flags & CRYPT_FIRST) || enumerated_.empty();
      }
      if (fresh) {
        std::vector<std::string> names;
        if (capi::Status status = process_.keys.ContainerNames(&names))
          return status;
        std::lock_guard hold(lock_);
        enumerated_ = std::move(names);
        nextEnumerated_ = 0;
      }
      std::lock_guard hold(lock_);
      if (nextEnumerated_ >= enumerated_.size())
        return ERROR_NO_MORE_ITEMS;
      // A size query answers the longest name, so that the documented loop
      // can read every name into one buffer.
      if (!data) {
        std::size_t longest = 0;
        for (const std::string& name : enumerated_)
          longest = std::max(longest, name.size());
        *length = static_cast<DWORD>(longest + 1);
        return capi::kOk;
      }
      const capi::Status status = WriteText(enumerated_[nextEnumerated_], data, length);
      if (status == capi::kOk)
        ++nextEnumerated_;
      return status;
    }
    case PP_IMPTYPE:
      return WriteNumber(kImplementation, data, length);
    case PP_NAME:
      return WriteText(registeredName_.empty() ? ToAnsi(process_.Settings().strings.PROVIDER_NAME)
                                               : registeredName_,
                       data, length);
    case PP_VERSION:
      return WriteNumber(kProviderVersion, data, length);
    case PP_PROVTYPE:
      return WriteNumber(PROV_RSA_FULL, data, length);
    case PP_KEYSPEC:
      return WriteNumber(AT_KEYEXCHANGE | AT_SIGNATURE, data, length);
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC:
      return WriteNumber(kKeySizeStep, data, length);
    case PP_CONTAINER:
      if (!container_)
        return capi::kBadKeyset;
      return WriteText(container_->name, data, length);
    case PP_UNIQUE_CONTAINER:
      if (!container_)
        return capi::kBadKeyset;
      return WriteText(csp::KeyProvider::UniqueName(*container_), data, length);
    default:
      return capi::kBadType;
  }
}

capi::Status ProviderContext::SetProvParam(DWORD param, const BYTE* data, DWORD) {
  switch (param) {
    case PP_CLIENT_HWND: {
      std::lock_guard hold(lock_);
      clientWindow_ = data ? *reinterpret_cast<const HWND*>(data) : nullptr;
      return capi::kOk;
    }
    case PP_KEYEXCHANGE_PIN:
    case PP_SIGNATURE_PIN: {
      if (!container_)
        return capi::kBadKeyset;
      if (!data)
        return capi::kInvalidParameter;
      return process_.keys.LogIn(*container_, reinterpret_cast<const char*>(data));
    }
    case PP_KEYSET_SEC_DESCR:
      return capi::kOk;  // the token guards its keys, not a security descriptor
    default:
      return capi::kBadType;
  }
}

HWND ProviderContext::Owner() {
  {
    std::lock_guard hold(lock_);
    if (clientWindow_)
      return clientWindow_;
  }
  // What the program gave CryptSetProvParam(0, PP_CLIENT_HWND), through the
  // table CryptoAPI handed us; it returns nothing but the window.
  HWND window = nullptr;
  if (programWindow_)
    programWindow_(&window);
  return window && IsWindow(window) ? window : nullptr;
}
