// The provider's core against the virtual token: containers found across
// tokens, the PIN asked for only when the token wants it, and a token
// pulled or swapped under a context.
#include "key_provider.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/container_link.h"
#include "token_manager.h"

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
  // A token folder copied from one of the demo's, with its serial changed.
  std::string CopyOf(const std::string& from, const std::string& to, const std::string& serial) {
    std::system(("cp -r " + dir + "/tokens/" + from + " " + dir + "/tokens/" + to +
                 " && sed -i 's/^serial=.*/serial=" + serial + "/' " + dir + "/tokens/" + to +
                 "/token.ini")
                    .c_str());
    return "tokens/" + to;
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
  int modulesOpened = 0;
  csp::KeyProvider keys{[this] {
    ++modulesOpened;
    return std::string(VTOKEN_MODULE_PATH);
  }};
  const Bytes block = Bytes(51, 0x42);
};

TEST(ContainerLink, AReaderPartNamesTheTokenAndTheRestTheContainer) {
  struct Case {
    std::string asked;
    std::optional<std::string> reader;
    std::string name;
  } cases[] = {
      {"Alice-Keys", std::nullopt, "Alice-Keys"},
      {"\\\\.\\B000000002\\Bob", "B000000002", "Bob"},
      {"\\\\.\\B000000002\\", "B000000002", ""},
      {"\\\\.\\B000000002", "B000000002", ""},
      {"\\\\.\\B000000002\\Bob\\x", "B000000002", "Bob\\x"},
      {"", std::nullopt, ""},
      {"\\Alice-Keys", std::nullopt, "\\Alice-Keys"},
  };
  for (const Case& c : cases) {
    const container_link::Parsed parsed = container_link::Parse(c.asked);
    EXPECT_EQ(parsed.reader, c.reader) << c.asked;
    EXPECT_EQ(parsed.name, c.name) << c.asked;
  }
  EXPECT_EQ(container_link::Parse(container_link::Qualified("B000000002", "Bob")).name, "Bob");
  EXPECT_FALSE(container_link::CanQualify(""));
  EXPECT_FALSE(container_link::CanQualify("A\\1"));
}

TEST_F(ProviderOverVirtualTokens, AContainerIsFoundOnTheTokenThatHoldsIt) {
  EXPECT_EQ(Found("Alice-Keys").token.serial, "A000000001");
  EXPECT_EQ(Found("Bob").token, (csp::TokenId{"B000000002", "Bob"}));
  EXPECT_EQ(Found("\\\\.\\B000000002\\Bob").name, "Bob");
  EXPECT_EQ(Found("").name, "Alice-Keys");              // the default: the first token's first
  EXPECT_EQ(Found("\\\\.\\B000000002\\").name, "Bob");  // that token's first
  csp::ContainerRef ref;
  EXPECT_EQ(keys.FindContainer("Carol", &ref), capi::kBadKeyset);
  // A link to another token never leads to this one's key of that name.
  EXPECT_EQ(keys.FindContainer("\\\\.\\A000000001\\Bob", &ref), capi::kBadKeyset);
  EXPECT_EQ(keys.FindContainer("\\\\.\\C000000003\\Bob", &ref), capi::kNoSmartCard);
  Plug("", "");
  EXPECT_EQ(keys.FindContainer("Bob", &ref), capi::kNoSmartCard);

  Plug("tokens/alice", "tokens/bob");
  std::vector<std::string> names;
  ASSERT_EQ(keys.ContainerNames(&names), capi::kOk);
  EXPECT_EQ(names, (std::vector<std::string>{"Alice-Keys", "Alice-Soon", "Alice-Old", "Bob"}));
}

TEST_F(ProviderOverVirtualTokens, ATokenAloneInALaterSlotSigns) {
  Plug("", "tokens/bob");
  csp::ContainerRef ref = Found("Bob");
  Bytes signature;
  ASSERT_EQ(keys.LogIn(ref, "24681357"), capi::kOk);
  ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature), capi::kOk);
  EXPECT_EQ(signature, SignedDirectly("Bob", 0, 1, block, "24681357"));
}

TEST_F(ProviderOverVirtualTokens, TwoTokensWithOneContainerNameEachSignWithTheirOwnKey) {
  // Carol's token holds a container "Bob" too, with Alice's exchange key.
  const std::string carol = CopyOf("alice", "carol", "C000000003");
  std::ofstream(dir + "/" + carol + "/token.ini")
      << "[token]\nlabel=Carol\nserial=C000000003\nuserPin=13572468\n"
         "[container:Bob]\nexchange=alice-exchange.der\nexchangeKey=alice-exchange.key.der\n";
  Plug("tokens/bob", carol);
  csp::ContainerRef ref;
  EXPECT_EQ(keys.FindContainer("Bob", &ref), capi::kBadKeyset);  // either could be wrong
  std::vector<std::string> names;
  ASSERT_EQ(keys.ContainerNames(&names), capi::kOk);
  EXPECT_EQ(names, (std::vector<std::string>{"\\\\.\\B000000002\\Bob", "\\\\.\\C000000003\\Bob"}));

  struct Case {
    std::string link, pin, label;
    std::int32_t position;
  } cases[] = {{names[0], "24681357", "Bob", 0}, {names[1], "13572468", "Carol", 1}};
  for (const Case& c : cases) {
    ref = Found(c.link);
    ScriptedPrompt prompt({c.pin});
    Bytes signature;
    ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk)
        << c.link;
    ASSERT_EQ(prompt.asked.size(), 1u);
    EXPECT_EQ(prompt.asked[0].tokenLabel, c.label);  // the prompt names the token it logs in to
    EXPECT_EQ(signature, SignedDirectly("Bob", c.position, 1, block, c.pin)) << c.link;
    Bytes cert;
    ASSERT_EQ(keys.Certificate(ref, capi::kAtKeyExchange, &cert), capi::kOk);
    der::RsaPublicKey key;
    ASSERT_EQ(keys.PublicKey(ref, capi::kAtKeyExchange, &key), capi::kOk);
    EXPECT_EQ(der::CertificateRsaKey(cert)->modulus, key.modulus);
  }
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
  // An empty PIN is asked again without costing a try; after a wrong one
  // the prompt says so, with no count PKCS#11 cannot give.
  ScriptedPrompt prompt({"", "00000000", "24681357"});
  Bytes signature;
  ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk);
  ASSERT_EQ(prompt.asked.size(), 3u);
  EXPECT_EQ(prompt.asked[0].tokenLabel, "Bob");
  EXPECT_FALSE(prompt.asked[1].afterWrongPin);
  EXPECT_TRUE(prompt.asked[2].afterWrongPin);
  EXPECT_FALSE(prompt.asked[2].triesLeft);
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
  EXPECT_EQ(prompt.asked.size(), 1u);
}

// A prompt that pulls its token and plugs another in while it is open.
class SwappingPrompt : public csp::PinPrompt {
 public:
  explicit SwappingPrompt(std::function<void()> swap) : swap_(std::move(swap)) {}
  std::optional<SecretBytes> Ask(const csp::PinRequest&) override {
    ++asked;
    swap_();
    return SecretBytes::Copy("24681357");
  }
  int asked = 0;

 private:
  std::function<void()> swap_;
};

TEST_F(ProviderOverVirtualTokens, APinTypedWhileItsTokenWasSwappedGoesToNoOtherToken) {
  // Bob's look-alike, same PIN, another serial: the PIN would log it in.
  const std::string other = CopyOf("bob", "bob-look-alike", "C000000003");
  csp::ContainerRef ref = Found("Bob");
  SwappingPrompt prompt([&] { Plug("tokens/alice", other); });
  Bytes signature;
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature),
            capi::kRemovedCard);
  EXPECT_EQ(prompt.asked, 1);
  // The look-alike was never logged in to: still asks, still has every try.
  csp::ContainerRef lookAlike = Found("Bob");
  EXPECT_EQ(keys.Sign(lookAlike, capi::kAtKeyExchange, block, {true, nullptr}, &signature),
            capi::kSilentContext);
  std::ifstream ini(dir + "/" + other + "/token.ini");
  const std::string text{std::istreambuf_iterator<char>(ini), {}};
  EXPECT_EQ(text.find("triesLeft=5"), std::string::npos) << text;
}

TEST_F(ProviderOverVirtualTokens, AKeyThatWantsThePinForEachUseAsksEachTime) {
  const Bytes expected = SignedDirectly("Bob", 1, 1, block, "24681357");
  std::system(("sed -i 's/^\\[container:Bob\\]/[container:Bob]\\nalwaysAuthenticate=1/' " + dir +
               "/tokens/bob/token.ini")
                  .c_str());
  csp::ContainerRef ref = Found("Bob");
  ASSERT_EQ(keys.LogIn(ref, "24681357"), capi::kOk);
  Bytes signature;
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {true, nullptr}, &signature),
            capi::kSilentContext);
  for (int round = 0; round < 2; ++round) {
    ScriptedPrompt prompt({"00000000", "24681357"});
    ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk);
    EXPECT_EQ(prompt.asked.size(), 2u);  // a wrong PIN is asked for again
    EXPECT_TRUE(prompt.asked[1].afterWrongPin);
    EXPECT_EQ(signature, expected);
  }
  // Cancelled: nothing signed, and the session left clean for the next.
  ScriptedPrompt cancelled({std::nullopt});
  EXPECT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &cancelled}, &signature),
            capi::kCancelledByUser);
}

TEST_F(ProviderOverVirtualTokens, OneTokensSlowCallHoldsUpNoOtherToken) {
  std::system(
      ("sed -i 's/^\\[token\\]/[token]\\nsignDelayMs=3000/' " + dir + "/tokens/alice/token.ini")
          .c_str());
  csp::ContainerRef alice = Found("Alice-Keys"), bob = Found("Bob");
  ASSERT_EQ(keys.LogIn(alice, "12345678"), capi::kOk);
  ASSERT_EQ(keys.LogIn(bob, "24681357"), capi::kOk);
  std::atomic<bool> aliceDone{false};
  std::thread slow([&] {
    Bytes signature;
    EXPECT_EQ(keys.Sign(alice, capi::kAtSignature, block, {true, nullptr}, &signature), capi::kOk);
    aliceDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // Alice's C_Sign under way
  const auto start = std::chrono::steady_clock::now();
  Bytes signature;
  EXPECT_EQ(keys.Sign(bob, capi::kAtKeyExchange, block, {true, nullptr}, &signature), capi::kOk);
  csp::ContainerRef ref;
  EXPECT_EQ(keys.FindContainer("Bob", &ref), capi::kOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(aliceDone);
  slow.join();
}

TEST_F(ProviderOverVirtualTokens, TheLastContextEndsTheLoginButNeverTheModule) {
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
  EXPECT_EQ(modulesOpened, 1);
}

}  // namespace

namespace {

// The provider over SoftHSM2, whose slot ids are large random numbers and
// whose token list order is its own: each token is found by what it is.
TEST(ProviderOverSoftHsm, EachTokenSignsWithItsOwnKeysWhateverItsSlotId) {
  char tmpl[] = "/tmp/provider-softhsm-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  ASSERT_EQ(
      std::system((std::string(TOKENLIB_TESTDATA_DIR "/make-softhsm-tokens ") + dir + " >/dev/null")
                      .c_str()),
      0);
  setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
  csp::KeyProvider keys([] { return std::string("/usr/lib/softhsm/libsofthsm2.so"); });
  keys.AddContext();
  const Bytes block(51, 0x42);
  std::ofstream(dir + "/block.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(block.data()),
             static_cast<std::streamsize>(block.size()));
  struct Case {
    std::string container, label, pin, keyFile;
  } cases[] = {
      {"only", "beta", "4321", "only.key"},
      {"exch", "alpha", "1234", "exch.key"},
  };
  for (const Case& c : cases) {
    csp::ContainerRef ref;
    ASSERT_EQ(keys.FindContainer(c.container, &ref), capi::kOk) << c.container;
    EXPECT_EQ(ref.token.label, c.label);
    ScriptedPrompt prompt({c.pin});
    Bytes signature;
    ASSERT_EQ(keys.Sign(ref, capi::kAtKeyExchange, block, {false, &prompt}, &signature), capi::kOk)
        << c.container;
    EXPECT_EQ(prompt.asked.size(), 1u);
    // PKCS#1 v1.5 signatures are deterministic: openssl with the key file
    // signs the same bytes.
    const std::string out = dir + "/" + c.container + ".sig";
    ASSERT_EQ(std::system(("openssl pkeyutl -sign -inkey " + dir + "/" + c.keyFile + " -in " + dir +
                           "/block.bin -out " + out)
                              .c_str()),
              0);
    std::ifstream expected(out, std::ios::binary);
    EXPECT_EQ(signature, Bytes(std::istreambuf_iterator<char>(expected), {})) << c.container;
  }
  keys.ReleaseContext();
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
