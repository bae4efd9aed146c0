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

std::int32_t TokenManager::RunPrivateKey(std::int32_t token,
                                         const std::string& container,
                                         std::int32_t keySpec,
                                         std::span<const std::uint8_t> in,
                                         bool decrypt,
                                         unsigned char* out,
                                         CK_ULONG* length) {
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (std::int32_t status = PrivateKeyOf(token, container, keySpec, &key))
    return status;
  std::vector<CK_BYTE> input(in.begin(), in.end());
  const auto init = decrypt ? functions_->C_DecryptInit : functions_->C_SignInit;
  const auto run = decrypt ? functions_->C_Decrypt : functions_->C_Sign;
  return static_cast<std::int32_t>(WithSession(token, [&](CK_SESSION_HANDLE s) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (CK_RV started = init(s, &mechanism, key))
      return started;
    // One call into a buffer that holds any result: a length query first is
    // where modules differ most.
    *length = kMaxKeyBytes;
    return run(s, input.data(), static_cast<CK_ULONG>(input.size()), out, length);
  }));
}

std::int32_t TokenManager::SignWithKey(std::int32_t token,
                                       const std::string& container,
                                       std::int32_t keySpec,
                                       std::span<const std::uint8_t> data,
                                       std::vector<std::uint8_t>* signature) {
  if (!signature)
    return kErrArguments;
  std::vector<std::uint8_t> out(kMaxKeyBytes);
  CK_ULONG length = 0;
  if (std::int32_t status =
          RunPrivateKey(token, container, keySpec, data, false, out.data(), &length))
    return status;
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
  SecretBytes out(kMaxKeyBytes);
  CK_ULONG length = 0;
  if (std::int32_t status = RunPrivateKey(token, container, keySpec, cipher, true,
                                          reinterpret_cast<unsigned char*>(out.data()), &length))
    return status;
  out.Shrink(std::min<CK_ULONG>(length, kMaxKeyBytes));
  *plain = std::move(out);
  return 0;
}

}  // namespace tokenlib
