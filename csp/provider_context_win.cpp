#include "provider_context_win.h"

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

capi::Status LastError() {
  const DWORD error = GetLastError();
  return error ? error : capi::kFail;
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
    : module(providerModule), keys(tokens, [this] {
        const std::wstring path = ModuleFileName(module);
        settings = std::make_unique<ProductSettings>(
            ReadProductSettings(path.substr(0, path.find_last_of(L'\\') + 1)));
        return settings->module;
      }) {}

ProviderProcess::~ProviderProcess() = default;

ProviderContext::ProviderContext(ProviderProcess& process, bool silent, FARPROC programWindow)
    : process_(process), silent_(silent), programWindow_(programWindow) {
  process_.keys.AddContext();
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

ProviderContext::UserKey* ProviderContext::FindUserKey(HCRYPTKEY key) {
  const auto found = userKeys_.find(key);
  return found == userKeys_.end() ? nullptr : found->second.get();
}

HCRYPTKEY ProviderContext::SoftwareKey(HCRYPTKEY key) {
  const UserKey* user = FindUserKey(key);
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
  userKeys_.emplace(*key, std::move(user));
  return capi::kOk;
}

capi::Status ProviderContext::GetUserKey(DWORD keySpec, HCRYPTKEY* key) {
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
    return capi::kBadKey;
  return NewUserKey(keySpec, key);
}

capi::Status ProviderContext::DestroyKey(HCRYPTKEY key) {
  if (UserKey* user = FindUserKey(key)) {
    CryptDestroyKey(user->publicKey);
    userKeys_.erase(key);
    return capi::kOk;
  }
  return CryptDestroyKey(key) ? capi::kOk : LastError();
}

capi::Status ProviderContext::DuplicateKey(HCRYPTKEY key, DWORD flags, HCRYPTKEY* copy) {
  if (const UserKey* user = FindUserKey(key))
    return NewUserKey(user->keySpec, copy);
  return CryptDuplicateKey(key, nullptr, flags, copy) ? capi::kOk : LastError();
}

capi::Status ProviderContext::GenerateKey(ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  // Keys are made on the token by its own tools, not through us.
  if (alg == AT_KEYEXCHANGE || alg == AT_SIGNATURE || GET_ALG_CLASS(alg) == ALG_CLASS_SIGNATURE ||
      GET_ALG_CLASS(alg) == ALG_CLASS_KEY_EXCHANGE)
    return capi::kNotSupported;
  return CryptGenKey(software_, alg, flags, key) ? capi::kOk : LastError();
}

capi::Status ProviderContext::DeriveKey(ALG_ID alg, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* key) {
  return CryptDeriveKey(software_, alg, hash, flags, key) ? capi::kOk : LastError();
}

capi::Status ProviderContext::GetKeyParam(HCRYPTKEY key,
                                          DWORD param,
                                          BYTE* data,
                                          DWORD* length,
                                          DWORD flags) {
  if (const UserKey* user = FindUserKey(key); user && param == KP_CERTIFICATE) {
    std::vector<std::uint8_t> cert;
    if (capi::Status status = process_.keys.Certificate(*container_, user->keySpec, &cert))
      return status;
    return csp::WriteOut(cert, data, reinterpret_cast<std::uint32_t*>(length));
  }
  return CryptGetKeyParam(SoftwareKey(key), param, data, length, flags) ? capi::kOk : LastError();
}

capi::Status ProviderContext::SetKeyParam(HCRYPTKEY key,
                                          DWORD param,
                                          const BYTE* data,
                                          DWORD flags) {
  // A user key's parameters are the token's: a certificate is written by
  // the token's tools, not through us.
  if (FindUserKey(key))
    return capi::kNotSupported;
  return CryptSetKeyParam(key, param, data, flags) ? capi::kOk : LastError();
}

capi::Status ProviderContext::ExportKey(HCRYPTKEY key,
                                        HCRYPTKEY wrapWith,
                                        DWORD blobType,
                                        DWORD flags,
                                        BYTE* data,
                                        DWORD* length) {
  if (FindUserKey(key) && blobType != PUBLICKEYBLOB)
    return capi::kPermission;  // a private key never leaves the token
  return CryptExportKey(SoftwareKey(key), wrapWith ? SoftwareKey(wrapWith) : 0, blobType, flags,
                        data, length)
             ? capi::kOk
             : LastError();
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
  const UserKey* user = unwrapWith ? FindUserKey(unwrapWith) : nullptr;
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
    return CryptImportKey(software_, reinterpret_cast<const BYTE*>(plainBlob.data()),
                          static_cast<DWORD>(plainBlob.size()), 0, flags, key)
               ? capi::kOk
               : LastError();
  }
  return CryptImportKey(software_, data, length, unwrapWith ? SoftwareKey(unwrapWith) : 0, flags,
                        key)
             ? capi::kOk
             : LastError();
}

capi::Status ProviderContext::Encrypt(HCRYPTKEY key,
                                      HCRYPTHASH hash,
                                      BOOL final,
                                      DWORD flags,
                                      BYTE* data,
                                      DWORD* length,
                                      DWORD capacity) {
  return CryptEncrypt(SoftwareKey(key), hash, final, flags, data, length, capacity) ? capi::kOk
                                                                                    : LastError();
}

capi::Status ProviderContext::Decrypt(HCRYPTKEY key,
                                      HCRYPTHASH hash,
                                      BOOL final,
                                      DWORD flags,
                                      BYTE* data,
                                      DWORD* length) {
  const UserKey* user = FindUserKey(key);
  if (!user)
    return CryptDecrypt(key, hash, final, flags, data, length) ? capi::kOk : LastError();
  if (flags)  // OAEP and unchecked padding are not what the token's mechanism does
    return capi::kBadFlags;
  if (!data || !length)
    return capi::kInvalidParameter;
  SecretBytes plain;
  if (capi::Status status = DecryptWithToken(user->keySpec, csp::Reversed({data, *length}), &plain))
    return status;
  std::memcpy(data, plain.data(), plain.size());  // never longer than the cipher text
  *length = static_cast<DWORD>(plain.size());
  if (hash && !CryptHashData(hash, data, *length, 0))
    return LastError();
  return capi::kOk;
}

capi::Status ProviderContext::DecryptWithToken(DWORD keySpec,
                                               std::span<const std::uint8_t> cipher,
                                               SecretBytes* plain) {
  if (!process_.settings)
    return capi::kFail;
  DesktopPinPrompt prompt(process_.settings->strings, Owner(), process_.module);
  return process_.keys.Decrypt(*container_, keySpec, cipher, Access(prompt), plain);
}

capi::Status ProviderContext::CreateHash(ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  if (key && FindUserKey(key))
    return capi::kBadKey;  // an HMAC takes a session key
  return CryptCreateHash(software_, alg, key, flags, hash) ? capi::kOk : LastError();
}

capi::Status ProviderContext::HashSessionKey(HCRYPTHASH hash, HCRYPTKEY key, DWORD flags) {
  if (FindUserKey(key))
    return capi::kBadKey;
  return CryptHashSessionKey(hash, key, flags) ? capi::kOk : LastError();
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
  if (!process_.settings)
    return capi::kFail;
  DesktopPinPrompt prompt(process_.settings->strings, Owner(), process_.module);
  if ((status = process_.keys.Sign(*container_, keySpec, *block, Access(prompt), &result)))
    return status;
  const std::vector<std::uint8_t> littleEndian = csp::Reversed(result);
  return csp::WriteOut(littleEndian, signature, reinterpret_cast<std::uint32_t*>(length));
}

capi::Status ProviderContext::VerifySignature(HCRYPTHASH hash,
                                              const BYTE* signature,
                                              DWORD length,
                                              HCRYPTKEY key,
                                              DWORD flags) {
  return CryptVerifySignatureW(hash, signature, length, SoftwareKey(key), nullptr, flags)
             ? capi::kOk
             : LastError();
}

capi::Status ProviderContext::GetProvParam(DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  if (!length)
    return capi::kInvalidParameter;
  switch (param) {
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX:
      return CryptGetProvParam(software_, param, data, length, flags) ? capi::kOk : LastError();
    case PP_ENUMCONTAINERS: {
      if ((flags & CRYPT_FIRST) || enumerated_.empty()) {
        if (capi::Status status = process_.keys.ContainerNames(&enumerated_))
          return status;
        nextEnumerated_ = 0;
      }
      if (nextEnumerated_ >= enumerated_.size())
        return ERROR_NO_MORE_ITEMS;
      const capi::Status status = WriteText(enumerated_[nextEnumerated_], data, length);
      if (status == capi::kOk && data)
        ++nextEnumerated_;
      return status;
    }
    case PP_IMPTYPE:
      return WriteNumber(kImplementation, data, length);
    case PP_NAME:
      return WriteText(
          process_.settings ? ToAnsi(process_.settings->strings.PROVIDER_NAME) : std::string(),
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
    case PP_UNIQUE_CONTAINER:
      if (!container_)
        return capi::kBadKeyset;
      return WriteText(container_->name, data, length);
    default:
      return capi::kBadType;
  }
}

capi::Status ProviderContext::SetProvParam(DWORD param, const BYTE* data, DWORD) {
  switch (param) {
    case PP_CLIENT_HWND:
      clientWindow_ = data ? *reinterpret_cast<const HWND*>(data) : nullptr;
      return capi::kOk;
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

csp::PinAccess ProviderContext::Access(csp::PinPrompt& prompt) const {
  return {silent_, &prompt};
}

HWND ProviderContext::Owner() const {
  if (clientWindow_)
    return clientWindow_;
  // What the program gave CryptSetProvParam(0, PP_CLIENT_HWND), through the
  // table CryptoAPI handed us.
  HWND window = nullptr;
  using ReturnWindow = BOOL(WINAPI*)(HWND*);
  if (programWindow_ &&
      reinterpret_cast<ReturnWindow>(reinterpret_cast<void*>(programWindow_))(&window))
    return window;
  return nullptr;
}
