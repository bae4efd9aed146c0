#pragma once
// The byte layouts the provider reads from and writes to programs: the
// DigestInfo a signature covers, CryptoAPI's key blobs and its
// little-endian numbers, and the way a parameter is handed out. Every input
// comes from another program and is read only within its stated length.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/der/der.h"
#include "base/secret_bytes.h"
#include "capi_values.h"

namespace csp {

// What the token signs for a hash of algorithm alg: the DER DigestInfo, the
// bare 36 bytes of a TLS client's MD5 and SHA-1, or the bare hash with
// kNoHashOid. Nothing when the algorithm is not one we sign or the hash is
// not its length (*status says which).
std::optional<std::vector<std::uint8_t>> SignedBlock(std::uint32_t alg,
                                                     std::span<const std::uint8_t> hash,
                                                     std::uint32_t flags,
                                                     capi::Status* status);

// PUBLICKEYBLOB of an RSA key: BLOBHEADER, RSAPUBKEY, modulus little-endian.
std::vector<std::uint8_t> PublicKeyBlob(std::uint32_t keyAlg, const der::RsaPublicKey& key);

// A SIMPLEBLOB: a session key of algorithm keyAlg encrypted to an RSA key;
// the encrypted block comes back big-endian, as PKCS#11 takes it.
struct SimpleBlob {
  std::uint32_t keyAlg = 0;
  std::vector<std::uint8_t> encryptedKey;
};
std::optional<SimpleBlob> ParseSimpleBlob(std::span<const std::uint8_t> blob);

// PLAINTEXTKEYBLOB of a session key, to hand the key to the software
// provider; secret like the key.
SecretBytes PlainTextKeyBlob(std::uint32_t keyAlg, std::span<const std::uint8_t> key);

// CryptoAPI's numbers are little-endian, PKCS#11's big-endian.
std::vector<std::uint8_t> Reversed(std::span<const std::uint8_t> bytes);

// Hands value out the CryptoAPI way: out null asks for the size; too small a
// buffer gets kMoreData and the size needed; *length always ends as the size.
capi::Status WriteOut(std::span<const std::uint8_t> value,
                      std::uint8_t* out,
                      std::uint32_t* length);

}  // namespace csp
