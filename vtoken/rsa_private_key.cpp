#include "rsa_private_key.h"

#include <span>

#include "base/der/der.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kInteger = 0x02, kOctetString = 0x04, kSequence = 0x30;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The INTEGERs of an RSAPrivateKey: version, n, e, d, ...
std::optional<std::vector<std::span<const std::uint8_t>>> Integers(
    std::span<const std::uint8_t> der) {
  const auto sequence = der::Read(der);
  if (!sequence || sequence->tag != kSequence)
    return std::nullopt;
  std::vector<std::span<const std::uint8_t>> integers;
  for (auto field = der::Read(sequence->content); field; field = der::Read(field->rest)) {
    if (field->tag != kInteger)
      return std::nullopt;
    integers.push_back(field->content);
    if (field->rest.empty())
      break;
  }
  return integers;
}

// The RSAPrivateKey inside a PrivateKeyInfo, or der itself.
std::span<const std::uint8_t> Pkcs1Of(std::span<const std::uint8_t> der) {
  const auto info = der::Read(der);
  const auto version = info && info->tag == kSequence ? der::Read(info->content) : std::nullopt;
  const auto algorithm = version ? der::Read(version->rest) : std::nullopt;
  const auto key =
      algorithm && algorithm->tag == kSequence ? der::Read(algorithm->rest) : std::nullopt;
  return key && key->tag == kOctetString ? key->content : der;
}

std::vector<std::uint32_t> FromBigEndian(std::span<const std::uint8_t> bytes, std::size_t limbs) {
  std::vector<std::uint32_t> n(limbs, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t bit = (bytes.size() - 1 - i) * 8;
    if (bit / 32 < limbs)
      n[bit / 32] |= static_cast<std::uint32_t>(bytes[i]) << (bit % 32);
  }
  return n;
}

bool AtLeast(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  for (std::size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i])
      return a[i] > b[i];
  return true;
}

void Subtract(std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::int64_t d = static_cast<std::int64_t>(a[i]) - b[i] - borrow;
    a[i] = static_cast<std::uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
}

}  // namespace

std::optional<RsaPrivateKey> RsaPrivateKey::FromDer(std::string_view der) {
  const auto integers = Integers(Pkcs1Of(Bytes(der)));
  if (!integers || integers->size() < 4)
    return std::nullopt;
  auto modulus = (*integers)[1];
  while (!modulus.empty() && modulus.front() == 0)
    modulus = modulus.subspan(1);
  if (modulus.size() < 64 || !(modulus.back() & 1))
    return std::nullopt;  // below 512 bits, or even: no RSA modulus
  RsaPrivateKey key;
  key.bytes_ = modulus.size();
  const std::size_t limbs = (modulus.size() + 3) / 4;
  key.n_ = FromBigEndian(modulus, limbs);
  key.d_ = FromBigEndian((*integers)[3], limbs + 1);
  // -n^-1 mod 2^32 by Newton's iteration (n is odd).
  std::uint32_t inverse = 1;
  for (int i = 0; i < 5; ++i)
    inverse *= 2 - key.n_[0] * inverse;
  key.nInverse_ = ~inverse + 1;
  // R^2 mod n, R = 2^(32 * limbs): 1 doubled 64 * limbs times.
  Number r(limbs, 0);
  r[0] = 1;
  for (std::size_t i = 0; i < 64 * limbs; ++i) {
    std::uint32_t carry = 0;
    for (auto& limb : r) {
      const std::uint32_t next = limb >> 31;
      limb = (limb << 1) | carry;
      carry = next;
    }
    if (carry || AtLeast(r, key.n_))
      Subtract(r, key.n_);
  }
  key.rSquared_ = std::move(r);
  return key;
}

// a * b / R mod n (a, b < n), by the coarsely integrated operand scanning
// method.
RsaPrivateKey::Number RsaPrivateKey::MontgomeryProduct(const Number& a, const Number& b) const {
  const std::size_t s = n_.size();
  std::vector<std::uint32_t> t(s + 2, 0);
  for (std::size_t i = 0; i < s; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < s; ++j) {
      const std::uint64_t sum = t[j] + static_cast<std::uint64_t>(a[j]) * b[i] + carry;
      t[j] = static_cast<std::uint32_t>(sum);
      carry = sum >> 32;
    }
    std::uint64_t sum = static_cast<std::uint64_t>(t[s]) + carry;
    t[s] = static_cast<std::uint32_t>(sum);
    t[s + 1] = static_cast<std::uint32_t>(sum >> 32);
    const std::uint32_t m = t[0] * nInverse_;
    carry = (t[0] + static_cast<std::uint64_t>(m) * n_[0]) >> 32;
    for (std::size_t j = 1; j < s; ++j) {
      sum = t[j] + static_cast<std::uint64_t>(m) * n_[j] + carry;
      t[j - 1] = static_cast<std::uint32_t>(sum);
      carry = sum >> 32;
    }
    sum = static_cast<std::uint64_t>(t[s]) + carry;
    t[s - 1] = static_cast<std::uint32_t>(sum);
    t[s] = t[s + 1] + static_cast<std::uint32_t>(sum >> 32);
  }
  Number result(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(s));
  if (t[s] || AtLeast(result, n_))
    Subtract(result, n_);
  return result;
}

std::optional<std::string> RsaPrivateKey::Private(const std::string& block) const {
  const Number c = FromBigEndian(Bytes(block), n_.size());
  if (AtLeast(c, n_))
    return std::nullopt;
  Number one(n_.size(), 0);
  one[0] = 1;
  const Number base = MontgomeryProduct(c, rSquared_);
  Number result = MontgomeryProduct(one, rSquared_);  // 1 in Montgomery form
  for (std::size_t bit = d_.size() * 32; bit-- > 0;) {
    result = MontgomeryProduct(result, result);
    if ((d_[bit / 32] >> (bit % 32)) & 1)
      result = MontgomeryProduct(result, base);
  }
  result = MontgomeryProduct(result, one);
  std::string out(bytes_, '\0');
  for (std::size_t i = 0; i < bytes_; ++i) {
    const std::size_t bitAt = (bytes_ - 1 - i) * 8;
    out[i] = static_cast<char>(result[bitAt / 32] >> (bitAt % 32));
  }
  return out;
}

std::optional<std::string> RsaPrivateKey::Sign(std::string_view data) const {
  if (data.size() + 11 > bytes_)
    return std::nullopt;
  std::string block(bytes_, '\xFF');
  block[0] = '\0';
  block[1] = '\x01';
  block[bytes_ - data.size() - 1] = '\0';
  block.replace(bytes_ - data.size(), data.size(), data);
  return Private(block);
}

std::optional<std::string> RsaPrivateKey::Decrypt(std::string_view cipher) const {
  if (cipher.size() != bytes_)
    return std::nullopt;
  const auto block = Private(std::string(cipher));
  if (!block || (*block)[0] != '\0' || (*block)[1] != '\x02')
    return std::nullopt;
  const std::size_t end = block->find('\0', 2);
  if (end == std::string::npos || end < 10)
    return std::nullopt;  // fewer than 8 bytes of padding
  return block->substr(end + 1);
}

}  // namespace vtoken
