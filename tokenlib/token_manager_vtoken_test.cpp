// The PKCS#11 layer against the virtual token, the same operations as
// against SoftHSM2, plus plugging and unplugging.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "call_trace.h"
#include "token_manager.h"

using tokenlib::TokenManager;

namespace {

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class VirtualTokens : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tokenlib-vtoken-XXXXXX";
    dir = mkdtemp(tmpl);
    ASSERT_EQ(std::system((std::string(VTOKEN_DEMO_SCRIPT " ") + dir).c_str()), 0);
    Plug("tokens/alice", "tokens/bob");
    setenv("VTOKEN_CONFIG", (dir + "/vtoken.ini").c_str(), 1);
    ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);
    ASSERT_EQ(Find(), 2);
  }
  void TearDown() override {
    manager.Finalise();
    std::system(("rm -rf " + dir).c_str());
  }
  // Writes the slots; inserted counts the plug-ins of slot 0.
  void Plug(const std::string& slot0,
            const std::string& slot1,
            int inserted = 0,
            const std::string& module = "") {
    std::ofstream(dir + "/vtoken.ini") << "[slots]\ncount=2\nslot0=" << slot0 << "\nslot1=" << slot1
                                       << "\ninserted0=" << inserted << "\n[module]\n"
                                       << module << "\n";
  }
  int Find() {
    int32_t handles[32], count = 32;
    EXPECT_EQ(manager.Find(handles, &count), 0);
    for (int i = 0; i < count; ++i)
      manager.Connect(i);
    return count;
  }
  std::vector<std::string> Containers(int token) {
    char names[8192];
    int32_t length = sizeof names;
    EXPECT_EQ(manager.LoadContainers(token, names, &length), 0);
    std::vector<std::string> out;
    for (const char* p = names; p < names + length; p += std::strlen(p) + 1)
      if (*p)
        out.emplace_back(p);
    return out;
  }
  std::vector<unsigned char> Cert(int token, const std::string& name, int spec) {
    std::vector<unsigned char> data(32768);
    int32_t length = 32768;
    if (manager.GetContainerCert(token, name, spec, data.data(), &length) != 0)
      return {};
    data.resize(length);
    return data;
  }
  std::string dir;
  TokenManager manager;
};

}  // namespace

TEST_F(VirtualTokens, InfoContainersAndCertificates) {
  char label[33], d2[129], d3[65], d4[65];
  int32_t props[10];
  ASSERT_EQ(manager.GetInfo(0, label, d2, d3, d4, props), 0);
  EXPECT_STREQ(label, "Alice");
  EXPECT_EQ(props[0], 16);
  EXPECT_EQ(props[1], 6);
  EXPECT_EQ(props[9], 1);

  EXPECT_EQ(Containers(0), (std::vector<std::string>{"Alice-Keys", "Alice-Soon", "Alice-Old"}));
  const std::string t = dir + "/tokens/alice/";
  EXPECT_EQ(Cert(0, "Alice-Keys", 1), ReadFile(t + "alice-exchange.der"));
  EXPECT_EQ(Cert(0, "Alice-Keys", 2), ReadFile(t + "alice-signature.der"));
  EXPECT_EQ(Cert(0, "Alice-Soon", 2), ReadFile(t + "alice-soon.der"));
  EXPECT_TRUE(Cert(0, "Alice-Soon", 1).empty());

  int32_t handles[65], n = 0;
  ASSERT_EQ(manager.FindStandaloneCerts(0, handles, &n), 0);
  ASSERT_EQ(n, 2);
  std::vector<unsigned char> data(32768);
  int32_t length = 32768;
  ASSERT_EQ(manager.GetCert(0, handles[0], data.data(), &length), 0);
  data.resize(length);
  EXPECT_EQ(data, ReadFile(t + "root.der"));
  EXPECT_EQ(Containers(1), (std::vector<std::string>{"Bob"}));
}

TEST_F(VirtualTokens, PinStateLoginAndChange) {
  int32_t state[6];
  ASSERT_EQ(manager.GetPinState(0, 1, state), 0);
  EXPECT_EQ(state[5], 1);  // still the default
  EXPECT_EQ(state[4], 0);
  int32_t tries = -1;
  EXPECT_EQ(manager.Login(0, "00000000", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  EXPECT_EQ(tries, tokenlib::kTriesAtLeast);
  EXPECT_EQ(manager.ChangeUserPin(0, "12345678", "123"), static_cast<int32_t>(CKR_PIN_LEN_RANGE));
  ASSERT_EQ(manager.ChangeUserPin(0, "12345678", "24682468"), 0);
  ASSERT_EQ(manager.GetPinState(0, 1, state), 0);
  EXPECT_EQ(state[5], 0);
  EXPECT_EQ(manager.Login(0, "24682468", &tries), 0);
}

TEST_F(VirtualTokens, AnExpiredDefaultPinIsARightPinThatMayBeChanged) {
  std::ofstream(dir + "/vtoken.ini", std::ios::app) << "[module]\npinExpired=1\n";
  int32_t tries = -1;
  EXPECT_EQ(manager.Login(0, "12345678", &tries), 0);
  EXPECT_EQ(manager.Login(0, "00000000", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  ASSERT_EQ(manager.ChangeUserPin(0, "12345678", "24682468"), 0);
  int32_t state[6];
  ASSERT_EQ(manager.GetPinState(0, 1, state), 0);
  EXPECT_EQ(state[5], 0);  // no longer the default
  EXPECT_EQ(manager.Login(0, "24682468", &tries), 0);
}

TEST_F(VirtualTokens, ALoginAlreadyThereProvesNothingAboutTheNextPin) {
  int32_t tries = -1;
  ASSERT_EQ(manager.Login(0, "12345678", &tries), 0);
  EXPECT_EQ(manager.Login(0, "00000000", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  ASSERT_EQ(manager.Login(0, "12345678", &tries), 0);
  EXPECT_EQ(manager.ChangeUserPin(0, "11111111", "24682468"),
            static_cast<int32_t>(CKR_PIN_INCORRECT));
  EXPECT_EQ(manager.ChangeUserPin(0, "12345678", "24682468"), 0);
}

TEST_F(VirtualTokens, UnpluggingIsSeenAtOnce) {
  Plug("", "tokens/bob");
  char names[64];
  int32_t length = sizeof names;
  EXPECT_NE(manager.LoadContainers(0, names, &length), 0);  // Alice's session is gone
  EXPECT_EQ(Find(), 1);
  EXPECT_EQ(Containers(0), (std::vector<std::string>{"Bob"}));
  Plug("tokens/alice", "tokens/bob");
  EXPECT_EQ(Find(), 2);
  EXPECT_EQ(Containers(0).size(), 3u);
}

TEST_F(VirtualTokens, ATokenPulledAndPluggedBetweenPassesGetsANewSession) {
  EXPECT_EQ(Containers(0).size(), 3u);
  // Pulled and plugged again: the module ends the old session.
  Plug("tokens/alice", "tokens/bob", 1);
  EXPECT_EQ(manager.Reload(0), 0);
  EXPECT_EQ(Containers(0).size(), 3u);
  // Another token in the same slot: what was read of Alice is gone with her.
  Plug("tokens/bob", "", 2);
  EXPECT_EQ(manager.Reload(0), 0);
  EXPECT_EQ(Containers(0), (std::vector<std::string>{"Bob"}));
  // Pulled for good: an error, never an empty token.
  Plug("", "", 2);
  EXPECT_NE(manager.Reload(0), 0);
  char names[64];
  int32_t length = sizeof names;
  EXPECT_NE(manager.LoadContainers(0, names, &length), 0);
}

TEST_F(VirtualTokens, APulledTokenIsSeenThroughItsSlotNotTheModulesCache) {
  Plug("tokens/alice", "tokens/bob", 0, "staleTokenInfo=1");
  char label[33], d2[129], d3[65], d4[65];
  int32_t props[10];
  ASSERT_EQ(manager.GetInfo(0, label, d2, d3, d4, props), 0);
  Plug("", "tokens/bob", 0, "staleTokenInfo=1");
  EXPECT_EQ(manager.GetInfo(0, label, d2, d3, d4, props),
            static_cast<int32_t>(CKR_TOKEN_NOT_PRESENT));
}

TEST_F(VirtualTokens, ATokenArrivingDuringTheSearchIsFound) {
  Plug("tokens/alice", "", 0, "plugBetweenCalls=tokens/bob");
  EXPECT_EQ(Find(), 2);
  EXPECT_EQ(Containers(1), (std::vector<std::string>{"Bob"}));
}

TEST_F(VirtualTokens, ATokenWithoutPublicKeysShowsItsContainersBeforeLogin) {
  std::ofstream(dir + "/tokens/alice/token.ini", std::ios::app) << "\n[token]\npublicKeys=0\n";
  const std::string t = dir + "/tokens/alice/";
  ASSERT_EQ(manager.Reload(0), 0);
  EXPECT_EQ(Containers(0), (std::vector<std::string>{"Alice-Keys", "Alice-Soon", "Alice-Old"}));
  EXPECT_EQ(Cert(0, "Alice-Keys", 1), ReadFile(t + "alice-exchange.der"));
  EXPECT_EQ(Cert(0, "Alice-Keys", 2), ReadFile(t + "alice-signature.der"));
  EXPECT_TRUE(Cert(0, "Alice-Soon", 1).empty());
  int32_t tries = 0;
  ASSERT_EQ(manager.Login(0, "12345678", &tries), 0);  // the private keys come into view
  EXPECT_EQ(Containers(0), (std::vector<std::string>{"Alice-Keys", "Alice-Soon", "Alice-Old"}));
  EXPECT_EQ(Cert(0, "Alice-Keys", 2), ReadFile(t + "alice-signature.der"));
  EXPECT_EQ(Cert(0, "Alice-Old", 1), ReadFile(t + "alice-old.der"));
  int32_t handles[65], n = 0;
  ASSERT_EQ(manager.FindStandaloneCerts(0, handles, &n), 0);
  EXPECT_EQ(n, 2);
}

TEST_F(VirtualTokens, RepeatedLabelsAndLabelsOutsideTheCodePageGetTheirIdsNames) {
  // Bob's token relabelled: two key pairs called alike, one in Chinese.
  const std::string t = dir + "/tokens/bob/";
  std::ofstream(t + "token.ini", std::ios::app)
      << "\n[container:Twin-A]\nlabel=Twin\nid=0a\nexchange=bob.der\n"
      << "[container:Twin-B]\nlabel=Twin\nid=0b\nsignature=../alice/alice-signature.der\n"
      << "[container:Zhang]\nlabel=\xe5\xbc\xa0\xe4\xb8\x89\nid=0c\nexchange=bob.der\n";
  ASSERT_EQ(manager.Reload(1), 0);
  // This test's code page (the C locale) has no form of the Chinese label.
  EXPECT_EQ(Containers(1), (std::vector<std::string>{"Bob", "Twin-0a", "Twin-0b", "0c"}));
  EXPECT_EQ(Cert(1, "Twin-0b", 2), ReadFile(t + "../alice/alice-signature.der"));
  EXPECT_TRUE(Cert(1, "Twin", 1).empty());
}

// Bob's key holds its expired first certificate (first in object order)
// beside the renewed one.
TEST_F(VirtualTokens, TheRenewedCertificateOfAKeyWins) {
  EXPECT_EQ(Cert(1, "Bob", 1), ReadFile(dir + "/tokens/bob/bob.der"));
  ASSERT_EQ(manager.Login(1, "24681357", nullptr), 0);
  EXPECT_EQ(Cert(1, "Bob", 1), ReadFile(dir + "/tokens/bob/bob.der"));
}

TEST_F(VirtualTokens, LabelsAndIdsLongerThanTheFirstBuffersAreReadWhole) {
  const std::string label(300, 'L');
  std::ofstream(dir + "/tokens/bob/token.ini", std::ios::app)
      << "\n[container:Long]\nlabel=" << label << "\nid=" << std::string(200, 'a')
      << "\nexchange=bob.der\n";
  ASSERT_EQ(manager.Reload(1), 0);
  EXPECT_EQ(Containers(1), (std::vector<std::string>{"Bob", label}));
  EXPECT_EQ(Cert(1, label, 1), ReadFile(dir + "/tokens/bob/bob.der"));
}

TEST_F(VirtualTokens, AModuleWithoutOsLockingIsStartedWithoutArguments) {
  manager.Finalise();
  std::ofstream(dir + "/vtoken.ini", std::ios::app) << "[module]\nosLocking=0\n";
  ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);
  EXPECT_EQ(Find(), 2);
}

TEST_F(VirtualTokens, AModuleStartedByAnotherPartOfTheProcessIsNotEnded) {
  manager.Finalise();
  void* module = dlopen(VTOKEN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr);
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  ASSERT_EQ(getList(&list), CKR_OK);
  ASSERT_EQ(list->C_Initialize(nullptr), CKR_OK);  // the other part of the process

  ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);  // already initialised: ours to use
  EXPECT_EQ(Find(), 2);
  manager.Finalise();
  CK_ULONG count = 0;
  EXPECT_EQ(list->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);  // still running
  EXPECT_EQ(count, 2u);
  list->C_Finalize(nullptr);
  dlclose(module);
  ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);  // for TearDown
}

TEST_F(VirtualTokens, TheModuleTraceTellsEveryCallAndHoldsNoPinOrValue) {
  manager.Finalise();
  const std::string trace = dir + "/trace.txt";
  setenv("CORVANEXMGR_TRACE", trace.c_str(), 1);
  ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);
  unsetenv("CORVANEXMGR_TRACE");
  ASSERT_EQ(Find(), 2);
  EXPECT_FALSE(Containers(0).empty());
  int32_t tries = -1;
  EXPECT_EQ(manager.Login(0, "87654321", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  EXPECT_EQ(manager.Login(0, "12345678", &tries), 0);
  EXPECT_EQ(manager.ChangeUserPin(0, "12345678", "24682468"), 0);
  manager.Finalise();

  std::ifstream in(trace, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  for (const char* seen :
       {"C_Initialize(args) = CKR_OK", "C_GetSlotList(tokenPresent=1", "C_OpenSession(slot=0x0",
        "C_FindObjectsInit(session=", "CKA_CLASS CKO_CERTIFICATE", "C_GetAttributeValue(session=",
        "CKA_LABEL 129", "C_Login(session=", "pin=(hidden)) = CKR_PIN_INCORRECT",
        "C_SetPIN(session=", "C_Finalize() = CKR_OK"})
    EXPECT_NE(text.find(seen), std::string::npos) << seen << "\n" << text;
  EXPECT_NE(text.find(" ms]\r\n"), std::string::npos);
  // Neither a PIN, typed right or wrong, nor a value read from the token.
  for (const char* secret : {"87654321", "12345678", "24682468", "Alice"})
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
}

// Another program tracing into the same file: the cap holds for the file,
// whoever wrote it full.
TEST_F(VirtualTokens, TheTraceCapCountsTheWholeFile) {
  manager.Finalise();
  const std::string trace = dir + "/shared-trace.txt";
  setenv("CORVANEXMGR_TRACE", trace.c_str(), 1);
  ASSERT_EQ(manager.Initialise(VTOKEN_MODULE_PATH), 0);
  unsetenv("CORVANEXMGR_TRACE");
  {
    std::ofstream other(trace, std::ios::binary | std::ios::app);
    other << std::string(tokenlib::kTraceFileCap - 10, 'x');
  }
  ASSERT_EQ(Find(), 2);
  EXPECT_LE(std::filesystem::file_size(trace), tokenlib::kTraceFileCap);
  EXPECT_TRUE(std::filesystem::exists(trace + ".old"));
}

// The core signs and decrypts through the virtual token as through a real
// module: both keys of a container, and a pulled token fails cleanly.
TEST_F(VirtualTokens, BothKeysOfAContainerSignAndTheExchangeKeyDecrypts) {
  const std::vector<std::uint8_t> data(35, 0x5c);
  std::vector<std::uint8_t> exchangeSignature, signatureSignature;
  int32_t tries = 0;
  ASSERT_EQ(manager.Login(0, "12345678", &tries), 0);
  ASSERT_EQ(manager.SignWithKey(0, "Alice-Keys", 1, data, &exchangeSignature), 0);
  ASSERT_EQ(manager.SignWithKey(0, "Alice-Keys", 2, data, &signatureSignature), 0);
  EXPECT_EQ(exchangeSignature.size(), 256u);
  EXPECT_NE(exchangeSignature, signatureSignature);  // two keys

  SecretBytes plain;
  const std::vector<std::uint8_t> wrongLength(100, 1);
  EXPECT_EQ(manager.DecryptWithKey(0, "Alice-Keys", 1, wrongLength, &plain),
            static_cast<int32_t>(CKR_ENCRYPTED_DATA_LEN_RANGE));
  EXPECT_EQ(manager.DecryptWithKey(0, "Alice-Keys", 2, std::vector<std::uint8_t>(256, 1), &plain),
            static_cast<int32_t>(CKR_KEY_FUNCTION_NOT_PERMITTED));
  const std::vector<std::uint8_t> tooLong(250, 1);
  EXPECT_EQ(manager.SignWithKey(0, "Alice-Keys", 2, tooLong, &signatureSignature),
            static_cast<int32_t>(CKR_DATA_LEN_RANGE));

  Plug("", "tokens/bob");
  EXPECT_TRUE(tokenlib::IsSessionGone(
      static_cast<CK_RV>(manager.SignWithKey(0, "Alice-Keys", 2, data, &signatureSignature))));
}
