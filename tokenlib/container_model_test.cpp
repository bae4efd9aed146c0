#include "container_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/corvanex_mgr_abi.h"

namespace tokenlib {
namespace {

using ::testing::ElementsAre;

constexpr char kNow[] = "20261209120000";
using Bytes = std::vector<std::uint8_t>;

Key PrivateKey(Bytes id, std::string label, bool exchanges, bool signs, Bytes material) {
  Key k;
  k.id = std::move(id);
  k.label = std::move(label);
  k.exchanges = exchanges;
  k.signs = signs;
  k.material = std::move(material);
  k.isPrivate = true;
  return k;
}

Certificate Cert(Bytes id,
                 Bytes publicKey,
                 int usageSpec,
                 std::string notBefore = "20250101000000",
                 std::string notAfter = "20300101000000",
                 bool isCa = false) {
  Certificate c;
  c.id = std::move(id);
  c.value = publicKey;
  c.publicKey = std::move(publicKey);
  c.usageSpec = usageSpec;
  c.validity = {std::move(notBefore), std::move(notAfter)};
  c.isCa = isCa;
  return c;
}

class ContainerModelTest : public ::testing::Test {
 protected:
  void Form() { FormContainers(objects, *codePage, kNow); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& c : objects.containers)
      names.push_back(c.name);
    return names;
  }
  std::unique_ptr<CodePage> codePage = NamedCodePage("ISO-8859-1");
  Objects objects;
};

// A renewed certificate sits beside the one it replaces.
TEST_F(ContainerModelTest, TheCurrentCertificateIsTheValidOneWithTheLatestEnd) {
  const Certificate expired = Cert({1}, {1}, 1, "20200101000000", "20250101000000");
  const Certificate valid = Cert({1}, {1}, 1, "20250101000000", "20280101000000");
  const Certificate validLonger = Cert({1}, {1}, 1, "20260101000000", "20290101000000");
  const Certificate notYet = Cert({1}, {1}, 1, "20270101000000", "20350101000000");
  const Certificate unreadable = Cert({1}, {1}, 1, "", "");
  const struct {
    std::vector<const Certificate*> certs;
    const Certificate* current;
  } cases[] = {
      {{}, nullptr},
      {{&expired, &valid, &notYet}, &valid},
      {{&valid, &validLonger}, &validLonger},
      {{&validLonger, &valid}, &validLonger},
      {{&expired, &notYet}, &notYet},  // none valid: the latest end
      {{&unreadable, &expired}, &expired},
      {{&unreadable}, &unreadable},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CurrentCertificate(c.certs, kNow), c.current) << c.certs.size();
}

TEST_F(ContainerModelTest, KeysDecideTheirKeySpecAndPrivateKeysShadowTheirPublicOnes) {
  objects.keys.push_back(PrivateKey({1}, "decrypts", true, false, {0xA1}));
  objects.keys.push_back(PrivateKey({2}, "signs", false, true, {0xA2}));
  objects.keys.push_back(PrivateKey({3}, "both, certified to sign", true, true, {0xA3}));
  Key publicTwin = PrivateKey({1}, "decrypts", true, true, {0xA1});
  publicTwin.isPrivate = false;
  objects.keys.push_back(publicTwin);
  Key hiddenPair = PrivateKey({4}, "only the public key is seen", false, true, {0xA4});
  hiddenPair.isPrivate = false;
  objects.keys.push_back(hiddenPair);
  objects.keys.push_back(PrivateKey({5}, "no use", false, false, {0xA5}));
  objects.certs.push_back(Cert({3}, {0xA3}, cmgr::kSignatureKey));
  Form();
  EXPECT_THAT(Names(), ElementsAre("decrypts", "signs", "both, certified to sign",
                                   "only the public key is seen"));
  const int specs[] = {
      cmgr::kExchangeKey, cmgr::kSignatureKey, cmgr::kSignatureKey, 0, cmgr::kSignatureKey, 0};
  for (std::size_t i = 0; i < objects.keys.size(); ++i)
    EXPECT_EQ(objects.keys[i].keySpec, specs[i]) << objects.keys[i].label;
  EXPECT_THAT(objects.containers[0].keys, ElementsAre(&objects.keys[0]));
}

TEST_F(ContainerModelTest, CaCertificatesWithoutKeyAndCertificatesWithoutIdStandAlone) {
  objects.keys.push_back(PrivateKey({1}, "operator", false, true, {0xB1}));
  objects.certs.push_back(Cert({1}, {0xB1}, 2, "20250101000000", "20300101000000", true));
  objects.certs.push_back(Cert({9}, {0xB9}, 1, "20250101000000", "20300101000000", true));
  objects.certs.push_back(Cert({}, {0xBA}, 1));
  objects.certs.push_back(Cert({7}, {0xB7}, 1));  // a user certificate whose key is hidden
  Form();
  EXPECT_THAT(objects.standalone, ElementsAre(&objects.certs[1], &objects.certs[2]));
  ASSERT_EQ(objects.containers.size(), 2u);
  EXPECT_THAT(objects.containers[0].certs, ElementsAre(&objects.certs[0]));
  EXPECT_EQ(objects.containers[1].name, "07");  // no label: the id in hex
}

TEST_F(ContainerModelTest, NamesAreUniquePerToken) {
  objects.keys.push_back(PrivateKey({0x0a}, "twin", true, false, {1}));
  objects.keys.push_back(PrivateKey({0x0b}, "twin", true, false, {2}));
  objects.keys.push_back(PrivateKey({0x0c}, "\xE4\xB8\xAD", true, false, {3}));  // no Latin-1 form
  objects.keys.push_back(PrivateKey({0x0d}, "caf\xC3\xA9", true, false, {4}));
  objects.keys.push_back(PrivateKey({0x0e}, "", true, false, {5}));
  objects.certs.push_back(Cert({0x0e}, {5}, 1));
  objects.certs.back().label = "from the certificate";
  objects.keys.push_back(PrivateKey({0x0f}, "0c", true, false, {6}));  // reads like a hex name
  Form();
  EXPECT_THAT(Names(),
              ElementsAre("twin-0a", "twin-0b", "0c", "caf\xE9", "from the certificate", "0f-5"));
}

TEST_F(ContainerModelTest, AContainerGivesTheKeyOfAKeySpecAndItsCertificate) {
  objects.keys.push_back(PrivateKey({1}, "pair", true, false, {0xC1}));
  objects.keys.push_back(PrivateKey({2}, "hidden material", true, false, {}));
  objects.certs.push_back(Cert({1}, {0xC1}, 1));
  objects.certs.push_back(Cert({1}, {0xCC}, 1));  // another key's
  objects.certs.push_back(Cert({2}, {0xC2}, 1));
  objects.certs.push_back(Cert({3}, {0xC3}, 2));  // a signing key hidden before login
  Form();
  const struct {
    std::string name;
    int keySpec;
    std::int32_t status;
    const Key* key;
    const Certificate* cert;
  } cases[] = {
      {"pair", 1, 0, &objects.keys[0], &objects.certs[0]},
      {"pair", 2, kErrNoKey, nullptr, nullptr},
      {"hidden material", 1, 0, &objects.keys[1], &objects.certs[2]},
      {"03", 2, 0, nullptr, &objects.certs[3]},
      {"03", 1, kErrNoKey, nullptr, nullptr},
      {"absent", 1, kErrNoContainer, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    ContainerEntry entry;
    EXPECT_EQ(FindInContainer(objects, c.name, c.keySpec, kNow, &entry), c.status) << c.name;
    EXPECT_EQ(entry.key, c.key) << c.name;
    EXPECT_EQ(entry.cert, c.cert) << c.name;
  }
}

}  // namespace
}  // namespace tokenlib
