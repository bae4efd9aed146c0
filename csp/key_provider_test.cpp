// The provider's core against the virtual token: containers found across
// tokens, the PIN asked for only when the token wants it, and a token
// pulled or swapped under a context.
#include "key_provider.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <fstream>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Answers from a script, and records what it was asked.
class ScriptedPrompt : public csp::PinPrompt {
 public:
  explicit ScriptedPrompt(std::deque<std::optional<std::string>> answers)
      : answers_(std::move(answers)) {}
  std::optional<SecretBytes> Ask(const csp::PinRequest& request) override {
    asked.push_back(request);
    if (answers_.empty())
      return std::nullopt;
    auto answer = std::move(answers_.front());
    answers_.pop_front();
    if (!answer)
      return std::nullopt;
    return SecretBytes::Copy(*answer);
  }
  std::vector<csp::PinRequest> asked;

 private:
  std::deque<std::optional<std::string>> answers_;
};

class ProviderOverVirtualTokens : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/provider-vtoken-XXXXXX";
    dir = mkdtemp(tmpl);
    ASSERT_EQ(std::system((std::string(VTOKEN_DEMO_SCRIPT " ") + dir).c_str()), 0);
    Plug("tokens/alice", "tokens/bob");
    setenv("VTOKEN_CONFIG", (dir + "/vtoken.ini").c_str(), 1);
    keys.AddContext();
  }
  void TearDown() override {
    keys.ReleaseContext();
    std::system(("rm -rf " + dir).c_str());
  }
  void Plug(const std::string& slot0, const std::string& slot1) {
    std::ofstream(dir + "/vtoken.ini")
        << "[slots]\ncount=2\nslot0=" << slot0 << "\nslot1=" << slot1 << "\n";
  }
  csp::ContainerRef Found(const std::string& name) {
    csp::ContainerRef ref;
    EXPECT_EQ(keys.FindContainer(name, &ref), capi::kOk) << name;
    return ref;
  }
  // What the token itself signs for block, logged in directly.
  Bytes SignedDirectly(const std::string& container,
                       std::int32_t token,
                       std::int32_t keySpec,
                       const Bytes& block,
                       const std::string& pin) {
    tokenlib::TokenManager direct;
    EXPECT_EQ(direct.Initialise(VTOKEN_MODULE_PATH), 0);
    std::int32_t handles[32], count = 32, tries = 0;
    direct.Find(handles, &count);
    EXPECT_EQ(direct.Login(token, pin, &tries), 0);
    Bytes signature;
    EXPECT_EQ(direct.SignWithKey(token, container, keySpec, block, &signature), 0);
    direct.Finalise();
    return signature;
  }

  std::string dir;
  tokenlib::TokenManager tokens;
  int modulesOpened = 0;
  csp::KeyProvider keys{tokens, [this] {
                          ++modulesOpened;
                          return std::string(VTOKEN_MODULE_PATH);
                        }};
  const Bytes block = Bytes(51, 0x42);
};

TEST(ContainerPart, ASmartCardReaderPrefixIsLeftOut) {
  const std::pair<std::string, std::string> cases[] = {
      {"Alice-Keys", "Alice-Keys"},
      {"\\\\.\\Veltrox Reader 0\\Alice-Keys", "Alice-Keys"},
      {"\\\\.\\Veltrox Reader 0\\", ""},
      {"\\\\.\\Veltrox Reader 0", ""},
      {"", ""},
      {"\\Alice-Keys", "\\Alice-Keys"},
  };
  for (const auto& [asked, container] : cases)
    EXPECT_EQ(csp::ContainerPart(asked), container) << asked;
}

TEST_F(ProviderOverVirtualTokens, AContainerIsFoundOnWhicheverTokenHoldsIt) {
  EXPECT_EQ(Found("Alice-Keys").token, 0);
  EXPECT_EQ(Found("Bob").token, 1);
  EXPECT_EQ(Found("Bob").label, "Bob");
  EXPECT_EQ(Found("\\\\.\\Any Reader\\Bob").name, "Bob");
  EXPECT_EQ(Found("").name, "Alice-Keys");  // the default: the first token's first
  csp::ContainerRef ref;
  EXPECT_EQ(keys.FindContainer("Carol", &ref), capi::kBadKeyset);
  Plug("", "");
  EXPECT_EQ(keys.FindContainer("Bob", &ref), capi::kNoSmartCard);

  Plug("tokens/alice", "tokens/bob");
  std::vector<std::string> names;
  ASSERT_EQ(keys.ContainerNames(&names), capi::kOk);
  EXPECT_EQ(names, (std::vector<std::string>{"Alice-Keys", "Alice-Soon", "Alice-Old", "Bob"}));
}

TEST_F(ProviderOverVirtualTokens, PublicKeysAndCertificatesNeedNoPin) {
  csp::ContainerRef ref = Found("Alice-Keys");
  der::RsaPublicKey exchange, signature;
  ASSERT_EQ(keys.PublicKey(ref, capi::kAtKeyExchange, &exchange), capi::kOk);
  ASSERT_EQ(keys.PublicKey(ref, capi::kAtSignature, &signature), capi::kOk);
  EXPECT_EQ(exchange.modulus.size(), 256u);
  EXPECT_EQ(exchange.exponent, (Bytes{1, 0, 1}));
  EXPECT_NE(exchange.modulus, signature.modulus);
  Bytes cert;
  EXPECT_EQ(keys.Certificate(ref, capi::kAtSignature, &cert), capi::kOk);
  EXPECT_EQ(der::CertificateRsaKey(cert)->modulus, signature.modulus);

  csp::ContainerRef soon = Found("Alice-Soon");  // a signature key only
  EXPECT_EQ(keys.PublicKey(soon, capi::kAtKeyExchange, &exchange), capi::kNoKey);
  EXPECT_EQ(keys.PublicKey(soon, 3, &exchange), capi::kBadKey);
}

TEST_F(ProviderOverVirtualTokens, TheTokenSignsOnceThePromptGaveTheRightPin) {
  csp::ContainerRef ref = Found("Bob");
  ScriptedPrompt prompt({"00000000", "24681357"});
  Bytes signature;
  ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk);
  ASSERT_EQ(prompt.asked.size(), 2u);
  EXPECT_EQ(prompt.asked[0].tokenLabel, "Bob");
  EXPECT_FALSE(prompt.asked[0].triesLeft);
  EXPECT_EQ(prompt.asked[1].triesLeft, tokenlib::kTriesAtLeast);  // after the wrong one
  EXPECT_EQ(signature, SignedDirectly("Bob", 1, 1, block, "24681357"));

  // Logged in now: the next signature asks nothing, even silently.
  ScriptedPrompt unused({});
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, &unused}, &signature), capi::kOk);
  EXPECT_TRUE(unused.asked.empty());
}

TEST_F(ProviderOverVirtualTokens, WithoutAPinEachWayOfNotGettingOneHasItsError) {
  struct Case {
    const char* what;
    bool silent;
    std::deque<std::optional<std::string>> answers;
    capi::Status status;
    std::size_t asked;
  } cases[] = {
      {"silent", true, {"24681357"}, capi::kSilentContext, 0},
      {"cancelled", false, {std::nullopt}, capi::kCancelledByUser, 1},
      {"wrong until cancelled", false, {"1111111", std::nullopt}, capi::kCancelledByUser, 2},
  };
  for (Case& c : cases) {
    csp::ContainerRef ref = Found("Bob");
    ScriptedPrompt prompt(std::move(c.answers));
    Bytes signature;
    SecretBytes plain;
    EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {c.silent, &prompt}, &signature),
              c.status)
        << c.what;
    EXPECT_EQ(prompt.asked.size(), c.asked) << c.what;
    EXPECT_TRUE(signature.empty()) << c.what;
  }
}

TEST_F(ProviderOverVirtualTokens, APassedPinLogsInAndALockedPinSaysSo) {
  csp::ContainerRef ref = Found("Bob");
  EXPECT_EQ(keys.LogIn(ref, "999999"), capi::kWrongPin);
  // Five more wrong ones lock it (six tries).
  capi::Status last = 0;
  for (int i = 0; i < 5; ++i)
    last = keys.LogIn(ref, "999999");
  EXPECT_EQ(last, capi::kPinBlocked);
  ScriptedPrompt prompt({"24681357"});
  Bytes signature;
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature),
            capi::kPinBlocked);
  EXPECT_TRUE(prompt.asked.empty());  // not asked for a PIN that cannot work

  csp::ContainerRef alice = Found("Alice-Keys");
  EXPECT_EQ(keys.LogIn(alice, "12345678"), capi::kOk);
  EXPECT_EQ(keys.LogIn(alice, "12345678"), capi::kOk);  // already logged in
  EXPECT_EQ(keys.Sign(alice, capi::kAtSignature, block, {true, nullptr}, &signature), capi::kOk);
}

TEST_F(ProviderOverVirtualTokens, TheExchangeKeyDecryptsWhatWasEncryptedToIt) {
  csp::ContainerRef ref = Found("Alice-Keys");
  ASSERT_EQ(keys.LogIn(ref, "12345678"), capi::kOk);
  SecretBytes plain;
  EXPECT_EQ(keys.Decrypt(ref, capi::kAtKeyExchange, Bytes(100, 1), {true, nullptr}, &plain),
            capi::kBadData);
  // The decryption itself is checked end to end with CryptoAPI's own
  // encryption; here only that the token's refusal comes through.
  EXPECT_NE(keys.Decrypt(ref, capi::kAtSignature, Bytes(256, 1), {true, nullptr}, &plain),
            capi::kOk);
}

TEST_F(ProviderOverVirtualTokens, ATokenPulledOrSwappedIsNotSignedWithAndOneBackIsFoundAgain) {
  csp::ContainerRef ref = Found("Bob");
  ASSERT_EQ(keys.LogIn(ref, "24681357"), capi::kOk);
  Bytes signature;
  Plug("tokens/alice", "");
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature),
            capi::kRemovedCard);
  // Another token in its place, even with a container of the same name, is
  // not it.
  std::system(("cp -r " + dir + "/tokens/bob " + dir +
               "/tokens/bob-look-alike && sed -i "
               "'s/^serial=.*/serial=C000000003/' " +
               dir + "/tokens/bob-look-alike/token.ini")
                  .c_str());
  Plug("tokens/alice", "tokens/bob-look-alike");
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature),
            capi::kRemovedCard);
  // Bob back, in the other slot: found again, and logged out by the pull.
  Plug("tokens/bob", "tokens/alice");
  ScriptedPrompt prompt({"24681357"});
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk);
  EXPECT_EQ(ref.token, 0);
  EXPECT_EQ(prompt.asked.size(), 1u);
}

TEST_F(ProviderOverVirtualTokens, TheLastContextClosesTheModuleAndWithItTheLogin) {
  csp::ContainerRef ref = Found("Bob");
  ASSERT_EQ(keys.LogIn(ref, "24681357"), capi::kOk);
  keys.AddContext();
  keys.ReleaseContext();  // one still held
  Bytes signature;
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature), capi::kOk);
  EXPECT_EQ(modulesOpened, 1);
  keys.ReleaseContext();
  keys.AddContext();
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature),
            capi::kSilentContext);
  EXPECT_EQ(modulesOpened, 2);
}

}  // namespace
