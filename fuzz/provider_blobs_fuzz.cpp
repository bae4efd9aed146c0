// What programs hand our cryptographic provider: key blobs, hashes of any
// algorithm and length, certificates, and output buffers of any size.
#include <cstring>
#include <memory>
#include <span>

#include "key_blobs.h"

namespace {

std::uint32_t Number(std::span<const std::uint8_t> in) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4 && i < in.size(); ++i)
    value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);

  if (const auto simple = csp::ParseSimpleBlob(in))
    if (simple->encryptedKey.size() != size - 12 || simple->keyAlg != Number(in.subspan(4)))
      __builtin_trap();

  // A hash algorithm and flags from the first bytes, the hash after them.
  if (size >= 5) {
    const std::uint32_t alg = 0x8000 | (data[0] & 0x0f);
    capi::Status status = 1;
    const auto hash = in.subspan(5);
    const auto block = csp::SignedBlock(alg, hash, data[1] & 1, &status);
    if (block.has_value() != (status == capi::kOk) ||
        (block &&
         (block->size() < hash.size() ||
          std::memcmp(block->data() + block->size() - hash.size(), hash.data(), hash.size()) != 0)))
      __builtin_trap();
  }

  if (const auto key = der::CertificateRsaKey(in)) {
    const auto blob = csp::PublicKeyBlob(capi::kRsaKeyExchange, *key);
    if (!blob.empty() && blob.size() != 20 + key->modulus.size())
      __builtin_trap();
  }

  // Into a buffer exactly as large as the caller said: never past it.
  const std::uint32_t room = size ? data[0] : 0;
  auto buffer = std::make_unique<std::uint8_t[]>(room + 1);
  std::uint32_t length = room;
  const capi::Status written = csp::WriteOut(in, buffer.get(), &length);
  if (length != size || (written == capi::kOk) != (room >= size))
    __builtin_trap();

  const SecretBytes plain = csp::PlainTextKeyBlob(Number(in), in);
  if (plain.size() != size + 12)
    __builtin_trap();
  return 0;
}
