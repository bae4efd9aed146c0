#pragma once
// How the objects of one token become the library's containers: which keys
// and certificates share a container, the key spec of each key, the name of
// each container, the certificate that is current, and which certificates
// stand alone. Pure logic over what was read from the token.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/der/der.h"
#include "base/pkcs11_api.h"
#include "code_page.h"

namespace tokenlib {

inline constexpr std::int32_t kErrNoContainer = 0x80001003;
inline constexpr std::int32_t kErrNoKey = 0x80001005;

struct Key {
  CK_OBJECT_HANDLE handle = 0;
  std::vector<std::uint8_t> id;
  std::string label;                   // UTF-8
  bool exchanges = false;              // decrypts or unwraps (a public key: encrypts or wraps)
  bool signs = false;                  // a public key: verifies
  int keySpec = 0;                     // 1 or 2 once it speaks for a container, else 0
  std::vector<std::uint8_t> material;  // RSA modulus without leading zeros, or EC point
  std::size_t exponentLength = 0;
  bool isPrivate = false;
  bool alwaysAuthenticate = false;  // CKA_ALWAYS_AUTHENTICATE: a login before each use

  // The public material from the key's attributes (an RSA key has a
  // modulus, an EC key a point), as certificates carry it.
  void SetMaterial(const std::optional<std::vector<std::uint8_t>>& modulus,
                   const std::optional<std::vector<std::uint8_t>>& ecPoint);
};

struct Certificate {
  CK_OBJECT_HANDLE handle = 0;
  std::vector<std::uint8_t> id;
  std::string label;  // UTF-8
  std::vector<std::uint8_t> value;
  std::optional<std::vector<std::uint8_t>> publicKey;  // as keys store it
  bool isCa = false;
  int usageSpec = 1;  // the key spec its key usage allows
  der::Validity validity;
};

// A certificate as its DER describes it: public key, cA, key usage, validity.
Certificate DescribeCertificate(CK_OBJECT_HANDLE handle,
                                std::vector<std::uint8_t> id,
                                std::string label,
                                std::vector<std::uint8_t> value);

struct Container {
  std::string name;  // system code page
  std::vector<std::uint8_t> id;
  std::vector<const Key*> keys;
  std::vector<const Certificate*> certs;
};

// What one read of a token found; containers point into keys and certs, so
// an Objects is never copied.
struct Objects {
  Objects() = default;
  Objects(const Objects&) = delete;
  Objects& operator=(const Objects&) = delete;
  std::vector<Key> keys;
  std::vector<Certificate> certs;
  std::vector<Container> containers;
  std::vector<const Certificate*> standalone;
};

// Groups the keys and certificates read into containers by CKA_ID, decides
// each key's key spec, names the containers (unique per token) and sets
// aside the standalone certificates. now is "YYYYMMDDHHMMSS" in UTC.
void FormContainers(Objects& objects, const CodePage& codePage, const std::string& now);

// Whether cert carries key's public material.
bool Certifies(const Certificate& cert, const Key& key);

// Among certificates of one key, the one valid now with the latest end, else
// the one with the latest end; nothing for none.
const Certificate* CurrentCertificate(const std::vector<const Certificate*>& certs,
                                      const std::string& now);

// The key of keySpec in the container called name and its current
// certificate (either may be missing: a key hidden before login, a key
// without certificate); kErrNoContainer or kErrNoKey when neither is there.
struct ContainerEntry {
  const Key* key = nullptr;
  const Certificate* cert = nullptr;
};
std::int32_t FindInContainer(const Objects& objects,
                             const std::string& name,
                             std::int32_t keySpec,
                             const std::string& now,
                             ContainerEntry* entry);

// "YYYYMMDDHHMMSS" in UTC now.
std::string UtcNowText();

// Lower-case hex of bytes.
std::string Hex(const std::vector<std::uint8_t>& bytes);

}  // namespace tokenlib
