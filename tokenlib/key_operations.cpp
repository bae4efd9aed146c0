// What a token's private keys do for a cryptographic provider: sign and
// decrypt, on the token.
#include "token_manager.h"

namespace tokenlib {

namespace {

// Large enough for the signature or the plain text of an 8192-bit key.
constexpr CK_ULONG kMaxKeyBytes = 1024;

}  // namespace

std::int32_t TokenManager::PrivateKeyOf(std::int32_t token,
                                        const std::string& container,
                                        std::int32_t keySpec,
                                        CK_OBJECT_HANDLE* key) {
  ContainerEntry entry;
  const std::int32_t status = FindContainer(token, container, keySpec, &entry);
  if (status != 0 && status != kErrNoKey)
    return status;
  // Only a certificate, or a public key, in view: the private key is hidden
  // until the user logs in.
  if (!entry.key || !entry.key->isPrivate)
    return entry.cert || entry.key ? static_cast<std::int32_t>(CKR_USER_NOT_LOGGED_IN) : status;
  *key = entry.key->handle;
  return 0;
}

std::int32_t TokenManager::SignWithKey(std::int32_t token,
                                       const std::string& container,
                                       std::int32_t keySpec,
                                       std::span<const std::uint8_t> data,
                                       std::vector<std::uint8_t>* signature) {
  if (!signature)
    return kErrArguments;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (std::int32_t status = PrivateKeyOf(token, container, keySpec, &key))
    return status;
  std::vector<CK_BYTE> input(data.begin(), data.end());
  std::vector<std::uint8_t> out(kMaxKeyBytes);
  CK_ULONG length = 0;
  const CK_RV rv = WithSession(token, [&](CK_SESSION_HANDLE s) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (CK_RV init = functions_->C_SignInit(s, &mechanism, key))
      return init;
    // One call into a buffer that holds any signature: a length query first
    // is where modules differ most.
    length = static_cast<CK_ULONG>(out.size());
    return functions_->C_Sign(s, input.data(), static_cast<CK_ULONG>(input.size()), out.data(),
                              &length);
  });
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  out.resize(std::min<CK_ULONG>(length, kMaxKeyBytes));
  *signature = std::move(out);
  return 0;
}

std::int32_t TokenManager::DecryptWithKey(std::int32_t token,
                                          const std::string& container,
                                          std::int32_t keySpec,
                                          std::span<const std::uint8_t> cipher,
                                          SecretBytes* plain) {
  if (!plain)
    return kErrArguments;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (std::int32_t status = PrivateKeyOf(token, container, keySpec, &key))
    return status;
  std::vector<CK_BYTE> input(cipher.begin(), cipher.end());
  SecretBytes out(kMaxKeyBytes);
  CK_ULONG length = 0;
  const CK_RV rv = WithSession(token, [&](CK_SESSION_HANDLE s) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (CK_RV init = functions_->C_DecryptInit(s, &mechanism, key))
      return init;
    length = kMaxKeyBytes;
    return functions_->C_Decrypt(s, input.data(), static_cast<CK_ULONG>(input.size()),
                                 reinterpret_cast<CK_BYTE*>(out.data()), &length);
  });
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  out.Shrink(std::min<CK_ULONG>(length, kMaxKeyBytes));
  *plain = std::move(out);
  return 0;
}

}  // namespace tokenlib
