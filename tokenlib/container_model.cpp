#include "container_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/corvanex_mgr_abi.h"

namespace tokenlib {

namespace {

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                        needle.end()) != haystack.end();
}

// Whether a key of the container other than except carries cert's key.
bool ClaimedByAnotherKey(const Certificate& cert, const Container& container, const Key* except) {
  return std::any_of(container.keys.begin(), container.keys.end(), [&](const Key* k) {
    return k != except && cert.publicKey && Certifies(cert, *k);
  });
}

}  // namespace

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string UtcNowText() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02u%02u%02ld%02ld%02ld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return text;
}

void Key::SetMaterial(const std::optional<std::vector<std::uint8_t>>& modulus,
                      const std::optional<std::vector<std::uint8_t>>& ecPoint) {
  if (!modulus) {
    material = ecPoint.value_or(std::vector<std::uint8_t>{});
    return;
  }
  const auto first = std::find_if(modulus->begin(), modulus->end(), [](auto b) { return b != 0; });
  material.assign(first == modulus->end() ? modulus->begin() : first, modulus->end());
}

Certificate DescribeCertificate(CK_OBJECT_HANDLE handle,
                                std::vector<std::uint8_t> id,
                                std::string label,
                                std::vector<std::uint8_t> value) {
  Certificate c;
  c.handle = handle;
  c.id = std::move(id);
  c.label = std::move(label);
  c.value = std::move(value);
  c.publicKey = der::CertificatePublicKey(c.value);
  if (const auto use = der::CertificateUsage(c.value)) {
    c.isCa = use->isCa;
    constexpr std::uint8_t kExchange =
        der::kKeyEncipherment | der::kDataEncipherment | der::kKeyAgreement;
    c.usageSpec =
        use->keyUsage && !(*use->keyUsage & kExchange) ? cmgr::kSignatureKey : cmgr::kExchangeKey;
  }
  if (const auto validity = der::CertificateValidity(c.value))
    c.validity = *validity;
  return c;
}

bool Certifies(const Certificate& cert, const Key& key) {
  if (key.material.empty())
    return false;
  return cert.publicKey
             ? (*cert.publicKey == key.material || Contains(key.material, *cert.publicKey))
             : Contains(cert.value, key.material);
}

// A renewed certificate sits beside the one it replaces: the one valid now
// with the latest end wins, else the latest end; unreadable dates come last.
const Certificate* CurrentCertificate(const std::vector<const Certificate*>& certs,
                                      const std::string& now) {
  const auto rank = [&](const Certificate* c) {
    const auto& v = c->validity;
    const bool valid = !v.notAfter.empty() && v.notBefore <= now && now <= v.notAfter;
    return std::pair(valid, v.notAfter);
  };
  const Certificate* best = nullptr;
  for (const Certificate* c : certs)
    if (!best || rank(c) > rank(best))
      best = c;
  return best;
}

void FormContainers(Objects& objects, const CodePage& codePage, const std::string& now) {
  auto& containers = objects.containers;
  const auto containerOf = [&](const std::vector<std::uint8_t>& id) {
    auto it = std::find_if(containers.begin(), containers.end(),
                           [&](const Container& c) { return c.id == id; });
    if (it != containers.end())
      return &*it;
    containers.push_back({"", id, {}, {}});
    return &containers.back();
  };
  // A private key's usage is the true one: many modules give every public key
  // encrypt and verify alike, so a public key only speaks for its pair while
  // the private key is hidden (before login) or absent.
  auto& keys = objects.keys;
  for (Key& k : keys) {
    const bool shadowed = !k.isPrivate && std::any_of(keys.begin(), keys.end(), [&](const Key& p) {
      return p.isPrivate && p.id == k.id && (p.material.empty() || p.material == k.material);
    });
    if (k.id.empty() || shadowed || (!k.exchanges && !k.signs))
      continue;
    k.keySpec = k.exchanges ? cmgr::kExchangeKey : cmgr::kSignatureKey;
    // A key allowed both uses is what its certificate says it is.
    if (k.exchanges && k.signs) {
      std::vector<const Certificate*> own;
      for (const Certificate& c : objects.certs)
        if (c.id == k.id && Certifies(c, k))
          own.push_back(&c);
      if (const Certificate* best = CurrentCertificate(own, now))
        k.keySpec = best->usageSpec;
    }
    containerOf(k.id)->keys.push_back(&k);
  }
  // A certificate with a key on the token is that key's, even one that says
  // cA (self-signed with common tools' defaults, a CA operator's own token).
  for (const Certificate& c : objects.certs) {
    const bool hasKey =
        std::any_of(keys.begin(), keys.end(), [&](const Key& k) { return k.id == c.id; });
    if (c.id.empty() || (c.isCa && !hasKey))
      objects.standalone.push_back(&c);
    else
      containerOf(c.id)->certs.push_back(&c);
  }

  // Names: the first label, made unique; the hex of the id where needed.
  std::vector<std::string> labels;
  for (const Container& c : containers) {
    std::string label;
    for (const Key* k : c.keys)
      if (label.empty())
        label = k->label;
    for (const Certificate* cert : c.certs)
      if (label.empty())
        label = cert->label;
    labels.push_back(label);
  }
  for (std::size_t i = 0; i < containers.size(); ++i) {
    const std::string hex = Hex(containers[i].id);
    const auto exact = labels[i].empty() ? std::nullopt : codePage.FromUtf8(labels[i]);
    const bool shared = std::count(labels.begin(), labels.end(), labels[i]) > 1;
    const std::string name = exact ? std::string(exact->view()) : std::string();
    containers[i].name = !exact ? hex : shared ? name + "-" + hex : name;
  }
  // A label that reads like another container's hex must not take its name.
  for (std::size_t i = 0; i < containers.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (containers[i].name == containers[j].name)
        containers[i].name = Hex(containers[i].id) + "-" + std::to_string(i);
}

std::int32_t FindInContainer(const Objects& objects,
                             const std::string& name,
                             std::int32_t keySpec,
                             const std::string& now,
                             ContainerEntry* entry) {
  *entry = {};
  auto c = std::find_if(objects.containers.begin(), objects.containers.end(),
                        [&](const Container& x) { return x.name == name; });
  if (c == objects.containers.end())
    return kErrNoContainer;
  auto k = std::find_if(c->keys.begin(), c->keys.end(),
                        [&](const Key* x) { return x->keySpec == keySpec; });
  std::vector<const Certificate*> candidates;
  if (k != c->keys.end()) {
    entry->key = *k;
    // A key without readable material cannot tell its certificate: any one
    // no other key claims.
    for (const Certificate* candidate : c->certs)
      if (entry->key->material.empty() ? !ClaimedByAnotherKey(*candidate, *c, entry->key)
                                       : Certifies(*candidate, *entry->key))
        candidates.push_back(candidate);
    entry->cert = CurrentCertificate(candidates, now);
    return 0;
  }
  // No key of that key spec in view: a certificate no visible key claims speaks
  // for its own key.
  for (const Certificate* candidate : c->certs)
    if (!ClaimedByAnotherKey(*candidate, *c, nullptr) && candidate->usageSpec == keySpec &&
        (c->keys.empty() || candidate->publicKey))
      candidates.push_back(candidate);
  entry->cert = CurrentCertificate(candidates, now);
  return entry->cert ? 0 : kErrNoKey;
}

}  // namespace tokenlib
