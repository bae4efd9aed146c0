#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Just enough DER to find a certificate's public key: the RSA modulus (or the
// EC point) inside SubjectPublicKeyInfo. Never reads outside the input.
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

}  // namespace der
