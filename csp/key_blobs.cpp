#include "key_blobs.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace csp {

namespace {

constexpr std::size_t kBlobHeaderSize = 8;  // bType, bVersion, reserved, aiKeyAlg

struct HashForm {
  std::uint32_t alg;
  std::size_t length;
  std::vector<std::uint8_t> digestInfoPrefix;
};

const std::vector<HashForm>& HashForms() {
  static const std::vector<HashForm> forms = {
      {capi::kMd5,
       16,
       {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05,
        0x00, 0x04, 0x10}},
      {capi::kSha1,
       20,
       {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
      {capi::kSha256,
       32,
       {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20}},
      {capi::kSha384,
       48,
       {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
        0x05, 0x00, 0x04, 0x30}},
      {capi::kSha512,
       64,
       {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
        0x05, 0x00, 0x04, 0x40}},
      // A TLS client's MD5 and SHA-1 side by side, signed as they are.
      {capi::kSsl3ShaMd5, 36, {}},
  };
  return forms;
}

void PutLittleEndian(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLittleEndian(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | at[i];
  return value;
}

void PutBlobHeader(std::uint8_t* at, std::uint8_t type, std::uint32_t keyAlg) {
  at[0] = type;
  at[1] = capi::kCurrentBlobVersion;
  at[2] = at[3] = 0;
  PutLittleEndian(at + 4, keyAlg);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> SignedBlock(std::uint32_t alg,
                                                     std::span<const std::uint8_t> hash,
                                                     std::uint32_t flags,
                                                     capi::Status* status) {
  const auto& forms = HashForms();
  const auto form =
      std::find_if(forms.begin(), forms.end(), [&](const HashForm& f) { return f.alg == alg; });
  if (form == forms.end()) {
    *status = capi::kBadAlgorithm;
    return std::nullopt;
  }
  if (hash.size() != form->length) {
    *status = capi::kBadHash;
    return std::nullopt;
  }
  std::vector<std::uint8_t> block;
  if (!(flags & capi::kNoHashOid))
    block = form->digestInfoPrefix;
  block.insert(block.end(), hash.begin(), hash.end());
  *status = capi::kOk;
  return block;
}

std::vector<std::uint8_t> PublicKeyBlob(std::uint32_t keyAlg, const der::RsaPublicKey& key) {
  // RSAPUBKEY keeps the exponent in 32 bits: a key with a longer one has no
  // blob (CryptoAPI could not use it either).
  if (key.exponent.size() > 4 || key.modulus.empty() ||
      key.modulus.size() > std::numeric_limits<std::uint32_t>::max() / 8)
    return {};
  std::uint32_t exponent = 0;
  for (std::uint8_t byte : key.exponent)
    exponent = (exponent << 8) | byte;
  std::vector<std::uint8_t> blob(kBlobHeaderSize + 12);
  PutBlobHeader(blob.data(), capi::kPublicKeyBlob, keyAlg);
  PutLittleEndian(&blob[8], capi::kRsa1Magic);
  PutLittleEndian(&blob[12], static_cast<std::uint32_t>(key.modulus.size() * 8));
  PutLittleEndian(&blob[16], exponent);
  blob.insert(blob.end(), key.modulus.rbegin(), key.modulus.rend());
  return blob;
}

std::optional<SimpleBlob> ParseSimpleBlob(std::span<const std::uint8_t> blob) {
  constexpr std::size_t kFixed = kBlobHeaderSize + 4;  // and the ALG_ID it is encrypted with
  if (blob.size() <= kFixed || blob[0] != capi::kSimpleBlob ||
      GetLittleEndian(&blob[8]) != capi::kRsaKeyExchange)
    return std::nullopt;
  return SimpleBlob{GetLittleEndian(&blob[4]), Reversed(blob.subspan(kFixed))};
}

SecretBytes PlainTextKeyBlob(std::uint32_t keyAlg, std::span<const std::uint8_t> key) {
  SecretBytes blob(kBlobHeaderSize + 4 + key.size());
  auto* at = reinterpret_cast<std::uint8_t*>(blob.data());
  PutBlobHeader(at, capi::kPlainTextKeyBlob, keyAlg);
  PutLittleEndian(at + kBlobHeaderSize, static_cast<std::uint32_t>(key.size()));
  if (!key.empty())
    std::memcpy(at + kBlobHeaderSize + 4, key.data(), key.size());
  return blob;
}

std::vector<std::uint8_t> Reversed(std::span<const std::uint8_t> bytes) {
  return {bytes.rbegin(), bytes.rend()};
}

capi::Status WriteOut(std::span<const std::uint8_t> value,
                      std::uint8_t* out,
                      std::uint32_t* length) {
  if (!length)
    return capi::kInvalidParameter;
  const std::uint32_t room = *length;
  *length = static_cast<std::uint32_t>(value.size());
  if (!out)
    return capi::kOk;
  if (room < value.size())
    return capi::kMoreData;
  if (!value.empty())
    std::memcpy(out, value.data(), value.size());
  return capi::kOk;
}

}  // namespace csp
