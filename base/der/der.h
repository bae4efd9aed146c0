#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Just enough DER to read what a token's certificates say about their keys:
// the public key inside SubjectPublicKeyInfo and the basic-constraints and
// key-usage extensions, and the validity. Never reads outside the input.
namespace der {

struct Element {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> content;
  std::span<const std::uint8_t> rest;  // what follows the element
};

std::optional<Element> Read(std::span<const std::uint8_t> in);

// The key material a token stores with its keys: the RSA modulus without
// leading zero bytes, or the EC point; nothing when the certificate cannot be
// read.
std::optional<std::vector<std::uint8_t>> CertificatePublicKey(std::span<const std::uint8_t> cert);

// An RSA public key as a certificate carries it: big-endian, without leading
// zero bytes.
struct RsaPublicKey {
  std::vector<std::uint8_t> modulus;
  std::vector<std::uint8_t> exponent;
};
// Nothing for a key of another kind, or a certificate that cannot be read.
std::optional<RsaPublicKey> CertificateRsaKey(std::span<const std::uint8_t> cert);

// The length of an RSA key's public exponent, 0 for other keys.
std::size_t CertificateExponentLength(std::span<const std::uint8_t> cert);

// What a certificate allows its key. keyUsage holds the first byte of the
// extension's bits (0x80 digitalSignature ... 0x08 keyAgreement), or nothing
// when the certificate has no key-usage extension.
struct CertificateUse {
  bool isCa = false;
  std::optional<std::uint8_t> keyUsage;
};
inline constexpr std::uint8_t kDigitalSignature = 0x80, kNonRepudiation = 0x40,
                              kKeyEncipherment = 0x20, kDataEncipherment = 0x10,
                              kKeyAgreement = 0x08;
std::optional<CertificateUse> CertificateUsage(std::span<const std::uint8_t> cert);

// A certificate's validity as UTC "YYYYMMDDHHMMSS" texts, which compare in
// time order; nothing when the certificate or a time cannot be read.
struct Validity {
  std::string notBefore, notAfter;
};
std::optional<Validity> CertificateValidity(std::span<const std::uint8_t> cert);

}  // namespace der
