#pragma once
// An RSA private key for the virtual token's C_Sign and C_Decrypt: PKCS#1
// v1.5 blocks, worked with the private exponent by plain Montgomery
// arithmetic. A test double's key: neither constant-time nor fast.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtoken {

class RsaPrivateKey {
 public:
  // From DER: PKCS#8 PrivateKeyInfo or PKCS#1 RSAPrivateKey; nothing when
  // it is neither or its numbers make no key.
  static std::optional<RsaPrivateKey> FromDer(std::string_view der);

  // The modulus's length in bytes: every signature and cipher text's.
  std::size_t Size() const { return bytes_; }
  // The signature of data (a type-1 block); nothing when data does not fit
  // in one with its 11 bytes of padding.
  std::optional<std::string> Sign(std::string_view data) const;
  // What a type-2 block carries; nothing when cipher is not Size() bytes,
  // not below the modulus, or not such a block.
  std::optional<std::string> Decrypt(std::string_view cipher) const;

 private:
  using Number = std::vector<std::uint32_t>;  // little-endian 32-bit limbs
  // block^d mod n, block big-endian of Size() bytes; nothing when block >= n.
  std::optional<std::string> Private(const std::string& block) const;
  Number MontgomeryProduct(const Number& a, const Number& b) const;

  Number n_, d_, rSquared_;
  std::uint32_t nInverse_ = 0;  // -n^-1 mod 2^32
  std::size_t bytes_ = 0;
};

}  // namespace vtoken
