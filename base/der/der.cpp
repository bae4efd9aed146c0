#include "base/der/der.h"

#include <algorithm>

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

constexpr std::uint8_t kSequence = 0x30, kBitString = 0x03, kInteger = 0x02, kBoolean = 0x01,
                       kOctetString = 0x04, kObjectId = 0x06, kExplicitVersion = 0xA0,
                       kExplicitExtensions = 0xA3, kUtcTime = 0x17, kGeneralizedTime = 0x18;

// The TBSCertificate's subjectPublicKeyInfo: version?, serial, signature,
// issuer, validity and subject come before it.
std::optional<Element> PublicKeyInfo(std::span<const std::uint8_t> cert) {
  auto certificate = Read(cert);
  if (!certificate || certificate->tag != kSequence)
    return std::nullopt;
  auto tbs = Read(certificate->content);
  if (!tbs || tbs->tag != kSequence)
    return std::nullopt;
  auto field = Read(tbs->content);
  if (field && field->tag == kExplicitVersion)
    field = Read(field->rest);
  for (int skip = 0; skip < 5 && field; ++skip)
    field = Read(field->rest);
  if (!field || field->tag != kSequence)
    return std::nullopt;
  return field;
}

// UTCTime "YYMMDDHHMMSSZ" (years 50 to 99 are 19xx) or GeneralizedTime
// "YYYYMMDDHHMMSSZ", as RFC 5280 has certificates write them.
std::optional<std::string> Time(const Element& e) {
  const std::string text(e.content.begin(), e.content.end());
  const bool utc = e.tag == kUtcTime && text.size() == 13;
  const bool generalized = e.tag == kGeneralizedTime && text.size() == 15;
  if ((!utc && !generalized) || text.back() != 'Z' ||
      !std::all_of(text.begin(), text.end() - 1, [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  if (generalized)
    return text.substr(0, 14);
  return (text[0] >= '5' ? "19" : "20") + text.substr(0, 12);
}

bool IsOid(const Element& e, std::initializer_list<std::uint8_t> oid) {
  return e.tag == kObjectId &&
         std::equal(e.content.begin(), e.content.end(), oid.begin(), oid.end());
}

}  // namespace

std::optional<Validity> CertificateValidity(std::span<const std::uint8_t> cert) {
  auto certificate = Read(cert);
  auto tbs =
      certificate && certificate->tag == kSequence ? Read(certificate->content) : std::nullopt;
  if (!tbs || tbs->tag != kSequence)
    return std::nullopt;
  auto field = Read(tbs->content);
  if (field && field->tag == kExplicitVersion)
    field = Read(field->rest);
  for (int skip = 0; skip < 3 && field; ++skip)  // serial, signature, issuer
    field = Read(field->rest);
  if (!field || field->tag != kSequence)
    return std::nullopt;
  auto from = Read(field->content);
  auto to = from ? Read(from->rest) : std::nullopt;
  auto notBefore = from ? Time(*from) : std::nullopt;
  auto notAfter = to ? Time(*to) : std::nullopt;
  if (!notBefore || !notAfter)
    return std::nullopt;
  return Validity{*notBefore, *notAfter};
}

std::optional<std::vector<std::uint8_t>> CertificatePublicKey(std::span<const std::uint8_t> cert) {
  auto field = PublicKeyInfo(cert);
  if (!field)
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

std::optional<RsaPublicKey> CertificateRsaKey(std::span<const std::uint8_t> cert) {
  auto field = PublicKeyInfo(cert);
  auto algorithm = field ? Read(field->content) : std::nullopt;
  auto bits = algorithm ? Read(algorithm->rest) : std::nullopt;
  if (!bits || bits->tag != kBitString || bits->content.empty())
    return std::nullopt;
  auto rsa = Read(bits->content.subspan(1));
  auto modulus = rsa && rsa->tag == kSequence ? Read(rsa->content) : std::nullopt;
  auto exponent = modulus ? Read(modulus->rest) : std::nullopt;
  if (!modulus || modulus->tag != kInteger || !exponent || exponent->tag != kInteger)
    return std::nullopt;
  const auto m = StripLeadingZeros(modulus->content);
  const auto e = StripLeadingZeros(exponent->content);
  if (m.empty() || e.empty())
    return std::nullopt;
  return RsaPublicKey{{m.begin(), m.end()}, {e.begin(), e.end()}};
}

std::size_t CertificateExponentLength(std::span<const std::uint8_t> cert) {
  const auto key = CertificateRsaKey(cert);
  return key ? key->exponent.size() : 0;
}

std::optional<CertificateUse> CertificateUsage(std::span<const std::uint8_t> cert) {
  auto field = PublicKeyInfo(cert);
  if (!field)
    return std::nullopt;
  CertificateUse use;
  // issuerUniqueID [1] and subjectUniqueID [2] may come before extensions [3].
  for (field = Read(field->rest); field; field = Read(field->rest)) {
    if (field->tag != kExplicitExtensions)
      continue;
    auto list = Read(field->content);
    if (!list || list->tag != kSequence)
      return use;
    for (auto ext = Read(list->content); ext; ext = Read(ext->rest)) {
      auto oid = Read(ext->content);
      if (!oid)
        break;
      auto value = Read(oid->rest);
      if (value && value->tag == kBoolean)  // critical
        value = Read(value->rest);
      if (!value || value->tag != kOctetString)
        continue;
      if (IsOid(*oid, {0x55, 0x1D, 0x13})) {  // basicConstraints { cA BOOLEAN DEFAULT FALSE, ... }
        auto constraints = Read(value->content);
        if (constraints && constraints->tag == kSequence) {
          auto ca = Read(constraints->content);
          use.isCa = ca && ca->tag == kBoolean && ca->content.size() == 1 && ca->content[0];
        }
      } else if (IsOid(*oid, {0x55, 0x1D, 0x0F})) {  // keyUsage BIT STRING
        auto bits = Read(value->content);
        if (bits && bits->tag == kBitString && bits->content.size() >= 2)
          use.keyUsage = bits->content[1];
      }
    }
    break;
  }
  return use;
}

}  // namespace der
