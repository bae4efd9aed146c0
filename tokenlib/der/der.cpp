#include "der.h"

namespace der {

std::optional<Element> Read(std::span<const std::uint8_t> in) {
  if (in.size() < 2)
    return std::nullopt;
  Element e;
  e.tag = in[0];
  std::size_t pos = 2;
  std::size_t length = in[1];
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || in.size() < 2 + bytes)
      return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i)
      length = (length << 8) | in[2 + i];
    pos += bytes;
  }
  if (length > in.size() - pos)
    return std::nullopt;
  e.content = in.subspan(pos, length);
  e.rest = in.subspan(pos + length);
  return e;
}

namespace {

std::span<const std::uint8_t> StripLeadingZeros(std::span<const std::uint8_t> v) {
  while (v.size() > 1 && v[0] == 0)
    v = v.subspan(1);
  return v;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> CertificatePublicKey(std::span<const std::uint8_t> cert) {
  constexpr std::uint8_t kSequence = 0x30, kBitString = 0x03, kInteger = 0x02,
                         kExplicitVersion = 0xA0;
  auto certificate = Read(cert);
  if (!certificate || certificate->tag != kSequence)
    return std::nullopt;
  auto tbs = Read(certificate->content);
  if (!tbs || tbs->tag != kSequence)
    return std::nullopt;
  // version?, serial, signature, issuer, validity, subject, then the key.
  auto field = Read(tbs->content);
  if (field && field->tag == kExplicitVersion)
    field = Read(field->rest);
  for (int skip = 0; skip < 5 && field; ++skip)
    field = Read(field->rest);
  if (!field || field->tag != kSequence)
    return std::nullopt;
  auto algorithm = Read(field->content);
  if (!algorithm)
    return std::nullopt;
  auto bits = Read(algorithm->rest);
  if (!bits || bits->tag != kBitString || bits->content.empty())
    return std::nullopt;
  const auto key = bits->content.subspan(1);  // unused-bits byte
  // RSA: the bit string holds SEQUENCE { modulus, exponent }.
  if (auto rsa = Read(key); rsa && rsa->tag == kSequence) {
    if (auto modulus = Read(rsa->content); modulus && modulus->tag == kInteger) {
      const auto m = StripLeadingZeros(modulus->content);
      return std::vector<std::uint8_t>(m.begin(), m.end());
    }
  }
  return std::vector<std::uint8_t>(key.begin(), key.end());  // an EC point as it stands
}

}  // namespace der
