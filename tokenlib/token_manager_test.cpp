// The PKCS#11 layer against real SoftHSM2 tokens that the suite provisions.
#include "bench/big_token.h"
#include "token_manager.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

using tokenlib::TokenManager;

namespace {

std::string g_dir;
bool g_ready = false;

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> SplitNames(const char* buffer, int length) {
  std::vector<std::string> names;
  std::string current;
  for (int i = 0; i < length; ++i) {
    if (buffer[i]) {
      current += buffer[i];
    } else if (!current.empty()) {
      names.push_back(current);
      current.clear();
    }
  }
  return names;
}

// SoftHSM gives every imported private key decrypt and sign alike; make the
// keys of a signature container sign-only, as a signature key on a real
// token is.
void MakeSignOnly(const char* module, const char* label, const char* pin, unsigned char id) {
  void* lib = dlopen(module, RTLD_NOW);
  ASSERT_NE(lib, nullptr);
  CK_FUNCTION_LIST* f = nullptr;
  reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"))(&f);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  f->C_GetSlotList(CK_TRUE, slots, &n);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO info;
    f->C_GetTokenInfo(slots[i], &info);
    if (std::strncmp(reinterpret_cast<char*>(info.label), label, std::strlen(label)) != 0)
      continue;
    CK_SESSION_HANDLE s;
    f->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    f->C_Login(s, CKU_USER, (CK_UTF8CHAR*)pin, std::strlen(pin));
    CK_BBOOL no = CK_FALSE;
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
      CK_ATTRIBUTE match[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}};
      CK_OBJECT_HANDLE h;
      CK_ULONG found = 0;
      f->C_FindObjectsInit(s, match, 2);
      f->C_FindObjects(s, &h, 1, &found);
      f->C_FindObjectsFinal(s);
      const bool priv = cls == CKO_PRIVATE_KEY;
      if (!priv && found == 0)
        continue;  // a token without public keys
      ASSERT_EQ(found, 1u);
      CK_ATTRIBUTE off[] = {{priv ? CKA_DECRYPT : CKA_ENCRYPT, &no, 1},
                            {priv ? CKA_UNWRAP : CKA_WRAP, &no, 1}};
      ASSERT_EQ(f->C_SetAttributeValue(s, h, off, 2), CKR_OK);
    }
    f->C_CloseSession(s);
  }
  f->C_Finalize(nullptr);
  dlclose(lib);
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class SoftHsmTokens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/tokenlib-softhsm-XXXXXX";
    g_dir = mkdtemp(tmpl);
    const std::string cmd =
        std::string(TOKENLIB_TESTDATA_DIR "/make-softhsm-tokens ") + g_dir + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    setenv("SOFTHSM2_CONF", (g_dir + "/softhsm2.conf").c_str(), 1);
    MakeSignOnly(kModule, "alpha", "1234", 0x02);
    MakeSignOnly(kModule, "gamma", "1111", 0x21);
    // A failure here would only skip the tests; each test fails on it instead.
    g_ready = !HasFailure();
  }
  static void TearDownTestSuite() { std::system(("rm -rf " + g_dir).c_str()); }

  void SetUp() override {
    ASSERT_TRUE(g_ready) << "the SoftHSM2 tokens could not be made";
    ASSERT_EQ(manager.Initialise(kModule), 0);
    int32_t handles[32] = {};
    count = 32;
    ASSERT_EQ(manager.Find(handles, &count), 0);
    for (int i = 0; i < count; ++i) {
      manager.Connect(i);  // SoftHSM's empty slot refuses a session
      char label[33], d2[129], d3[65], d4[65];
      int32_t props[10];
      ASSERT_EQ(manager.GetInfo(i, label, d2, d3, d4, props), 0);
      if (std::strcmp(label, "alpha") == 0)
        alpha = i;
      if (std::strcmp(label, "beta") == 0)
        beta = i;
      if (std::strcmp(label, "gamma") == 0)
        gamma = i;
      if (std::strcmp(label, "delta") == 0)
        delta = i;
    }
    ASSERT_GE(alpha, 0);
    ASSERT_GE(beta, 0);
    ASSERT_GE(gamma, 0);
    ASSERT_GE(delta, 0);
  }

  std::vector<std::string> Containers(int token) { return ContainersOf(manager, token); }
  static std::vector<std::string> ContainersOf(TokenManager& m, int token) {
    char names[8192];
    int32_t length = sizeof names;
    EXPECT_EQ(m.LoadContainers(token, names, &length), 0);
    return SplitNames(names, length);
  }

  std::vector<unsigned char> ContainerCert(int token,
                                           const std::string& name,
                                           int spec,
                                           int32_t* status) {
    return ContainerCertOf(manager, token, name, spec, status);
  }
  static std::vector<unsigned char> ContainerCertOf(TokenManager& m,
                                                    int token,
                                                    const std::string& name,
                                                    int spec,
                                                    int32_t* status) {
    std::vector<unsigned char> data(32768);
    int32_t length = 32768;
    *status = m.GetContainerCert(token, name, spec, data.data(), &length);
    data.resize(*status == 0 ? length : 0);
    return data;
  }

  static constexpr const char* kModule = tokenlib::testing::kSoftHsmModule;
  TokenManager manager;
  int32_t count = 0;
  int alpha = -1, beta = -1, gamma = -1, delta = -1;
};

}  // namespace

TEST_F(SoftHsmTokens, FindsEveryTokenAndReadsItsInfo) {
  EXPECT_EQ(count, 5);  // alpha, beta, gamma, delta and SoftHSM's empty slot
  char label[33], manufacturer[129], model[65], serial[65];
  int32_t props[10] = {};
  ASSERT_EQ(manager.GetInfo(alpha, label, manufacturer, model, serial, props), 0);
  EXPECT_STREQ(label, "alpha");
  EXPECT_STREQ(manufacturer, "SoftHSM project");
  EXPECT_GT(props[0], props[1]);  // max PIN length above min
  EXPECT_GE(props[1], 1);
  EXPECT_EQ(props[9], 1);
  const int empty = 10 - alpha - beta - gamma - delta;
  ASSERT_EQ(manager.GetInfo(empty, label, manufacturer, model, serial, props), 0);
  EXPECT_EQ(props[9], 0);  // never initialised
  EXPECT_EQ(manager.GetInfo(7, label, manufacturer, model, serial, props), tokenlib::kErrBadToken);
}

TEST_F(SoftHsmTokens, ContainersAndTheirCertificates) {
  // Before login only public keys show: containers are listed all the same.
  EXPECT_EQ(Sorted(Containers(alpha)), (std::vector<std::string>{"exch", "sign"}));
  int32_t status = 0;
  EXPECT_EQ(ContainerCert(alpha, "exch", 1, &status), ReadFile(g_dir + "/exch.der"));

  int32_t tries = -1;
  ASSERT_EQ(manager.Login(alpha, "1234", &tries), 0);
  EXPECT_EQ(Sorted(Containers(alpha)), (std::vector<std::string>{"exch", "sign"}));
  EXPECT_EQ(ContainerCert(alpha, "exch", 1, &status), ReadFile(g_dir + "/exch.der"));
  ContainerCert(alpha, "exch", 2, &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(ContainerCert(alpha, "sign", 2, &status), ReadFile(g_dir + "/sign.der"));
  ContainerCert(alpha, "sign", 1, &status);  // the private key only signs
  EXPECT_NE(status, 0);
  ContainerCert(alpha, "nobody", 1, &status);
  EXPECT_EQ(status, tokenlib::kErrNoContainer);

  int32_t bits = 0, exponent = 0, modulusLength = 0;
  unsigned char modulus[257];
  ASSERT_EQ(manager.GetContainerPubKey(alpha, "exch", 1, &bits, &exponent, modulus, &modulusLength),
            0);
  EXPECT_EQ(bits, 2048);
  EXPECT_EQ(modulusLength, 256);
  manager.Logout(alpha);
}

TEST_F(SoftHsmTokens, StandaloneCertificatesAreThoseWithoutAKey) {
  int32_t handles[65];
  int32_t n = -1;
  ASSERT_EQ(manager.FindStandaloneCerts(alpha, handles, &n), 0);
  ASSERT_EQ(n, 1);
  std::vector<unsigned char> data(32768);
  int32_t length = 32768;
  ASSERT_EQ(manager.GetCert(alpha, handles[0], data.data(), &length), 0);
  data.resize(length);
  EXPECT_EQ(data, ReadFile(g_dir + "/ca.der"));

  length = 10;  // too small: refused, nothing written past it
  EXPECT_EQ(manager.GetCert(alpha, handles[0], data.data(), &length), tokenlib::kErrBufferTooSmall);
}

TEST_F(SoftHsmTokens, WrongPinThenPinChange) {
  int32_t tries = -1;
  EXPECT_EQ(manager.Login(alpha, "0000", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  EXPECT_GE(tries, 1);
  int32_t state[6] = {9, 9, 9, 9, 9, 9};
  ASSERT_EQ(manager.GetPinState(alpha, 1, state), 0);
  EXPECT_EQ(state[4], 0);  // not locked
  EXPECT_EQ(state[3], 1);  // PIN initialised

  EXPECT_NE(manager.ChangeUserPin(alpha, "0000", "5555"), 0);
  ASSERT_EQ(manager.ChangeUserPin(alpha, "1234", "5555"), 0);
  EXPECT_EQ(manager.Login(alpha, "1234", &tries), static_cast<int32_t>(CKR_PIN_INCORRECT));
  ASSERT_EQ(manager.Login(alpha, "5555", &tries), 0);
  manager.Logout(alpha);
  ASSERT_EQ(manager.ChangeUserPin(alpha, "5555", "1234"), 0);
}

TEST_F(SoftHsmTokens, SecondSlotHasItsOwnContainers) {
  // Its key is private, so before login the certificate forms the container.
  EXPECT_EQ(Containers(beta), (std::vector<std::string>{"only"}));
  int32_t status;
  EXPECT_EQ(ContainerCert(beta, "only", 1, &status), ReadFile(g_dir + "/only.der"));
  int32_t tries;
  ASSERT_EQ(manager.Login(beta, "4321", &tries), 0);
  EXPECT_EQ(Containers(beta), (std::vector<std::string>{"only"}));
  EXPECT_EQ(ContainerCert(beta, "only", 1, &status), ReadFile(g_dir + "/only.der"));
  manager.Logout(beta);
}

// gamma holds private keys and certificates, most without public keys, two
// key pairs labelled alike and a label outside ASCII.
TEST_F(SoftHsmTokens, CertificatesOfHiddenKeysFormUniquelyNamedContainers) {
  // The test runs in the C locale: "张三" has no exact form and is named by its id.
  const std::vector<std::string> expected{"41", "Carol", "Twin-31", "Twin-32"};
  EXPECT_EQ(Sorted(Containers(gamma)), expected);
  int32_t status = 0;
  // While the key is hidden, its certificate's key usage says exchange or signature.
  EXPECT_EQ(ContainerCert(gamma, "Carol", 2, &status), ReadFile(g_dir + "/carol.der"));
  ContainerCert(gamma, "Carol", 1, &status);
  EXPECT_EQ(status, tokenlib::kErrNoCertificate);
  EXPECT_EQ(ContainerCert(gamma, "Twin-31", 1, &status), ReadFile(g_dir + "/twin1.der"));
  EXPECT_EQ(ContainerCert(gamma, "Twin-32", 1, &status), ReadFile(g_dir + "/twin2.der"));
  ContainerCert(gamma, "Twin", 1, &status);
  EXPECT_EQ(status, tokenlib::kErrNoContainer);
  EXPECT_EQ(ContainerCert(gamma, "41", 1, &status), ReadFile(g_dir + "/zhang.der"));
  int32_t bits = 0, exponent = 0, length = 0;
  unsigned char modulus[257];
  ASSERT_EQ(manager.GetContainerPubKey(gamma, "Carol", 2, &bits, &exponent, modulus, &length), 0);
  EXPECT_EQ(bits, 2048);
  EXPECT_EQ(exponent, 3);  // 65537

  int32_t handles[65], n = -1;
  ASSERT_EQ(manager.FindStandaloneCerts(gamma, handles, &n), 0);
  EXPECT_EQ(n, 0);

  // Once the private keys show, they decide; the names stay.
  int32_t tries;
  ASSERT_EQ(manager.Login(gamma, "1111", &tries), 0);
  EXPECT_EQ(Sorted(Containers(gamma)), expected);
  EXPECT_EQ(ContainerCert(gamma, "Carol", 2, &status), ReadFile(g_dir + "/carol.der"));
  EXPECT_EQ(ContainerCert(gamma, "Twin-32", 1, &status), ReadFile(g_dir + "/twin2.der"));
  manager.Logout(gamma);
}

// 张三 as GBK names it, and as UTF-8 does where Windows' "Use Unicode UTF-8"
// option makes that the system code page (every label then has its exact
// form, and names stay the labels).
TEST_F(SoftHsmTokens, LabelsCrossInTheSystemCodePage) {
  const std::string utf8Bytes = "\xe5\xbc\xa0\xe4\xb8\x89";
  for (const auto& [name, zhangSan] :
       {std::pair<std::string, std::string>{"GBK", "\xd5\xc5\xc8\xfd"},
        std::pair<std::string, std::string>{"UTF-8", utf8Bytes}}) {
    SCOPED_TRACE(name);
    const auto codePage = tokenlib::NamedCodePage(name);
    TokenManager local(*codePage);
    ASSERT_EQ(local.Initialise(kModule), 0);
    int32_t handles[32], n = 32;
    ASSERT_EQ(local.Find(handles, &n), 0);
    EXPECT_EQ(Sorted(ContainersOf(local, gamma)),
              (std::vector<std::string>{"Carol", "Twin-31", "Twin-32", zhangSan}));
    int32_t status = 0;
    EXPECT_EQ(ContainerCertOf(local, gamma, zhangSan, 1, &status), ReadFile(g_dir + "/zhang.der"));
    if (zhangSan != utf8Bytes) {
      ContainerCertOf(local, gamma, utf8Bytes, 1, &status);
      EXPECT_EQ(status, tokenlib::kErrNoContainer);
    }
  }
}

TEST_F(SoftHsmTokens, ContainerListThatDoesNotFitGivesTheWholeNamesThatFit) {
  char names[8];
  int32_t length = sizeof names;  // "exch\0sign\0" needs 10
  EXPECT_EQ(manager.LoadContainers(alpha, names, &length), tokenlib::kErrBufferTooSmall);
  ASSERT_EQ(length, 5);
  const std::string first = names;
  EXPECT_TRUE(first == "exch" || first == "sign") << first;
}

// Before login, as registration runs: only the public keys show, and they
// allow encrypt and verify alike.
TEST_F(SoftHsmTokens, AKeyAllowedBothUsesIsWhatItsCertificateSays) {
  int32_t status = 0;
  // Two key pairs under one id: one exchange and one signature entry.
  EXPECT_EQ(ContainerCert(delta, "Pair", 1, &status), ReadFile(g_dir + "/pairx.der"));
  EXPECT_EQ(ContainerCert(delta, "Pair", 2, &status), ReadFile(g_dir + "/pairs.der"));
  // A certificate without key usage: an exchange key.
  EXPECT_EQ(ContainerCert(delta, "Renewed", 1, &status), ReadFile(g_dir + "/renew-new.der"));
  ContainerCert(delta, "Renewed", 2, &status);
  EXPECT_NE(status, 0);
}

TEST_F(SoftHsmTokens, TheCertificateValidNowWithTheLatestEndWins) {
  // On the token: the expired one, one ending in 30 days, one in a year.
  int32_t status = 0;
  EXPECT_EQ(ContainerCert(delta, "Renewed", 1, &status), ReadFile(g_dir + "/renew-new.der"));
  int32_t tries = -1;
  ASSERT_EQ(manager.Login(delta, "2468", &tries), 0);  // the private keys come into view
  EXPECT_EQ(ContainerCert(delta, "Renewed", 1, &status), ReadFile(g_dir + "/renew-new.der"));
  manager.Logout(delta);
}

TEST_F(SoftHsmTokens, ACaCertificateWithItsOwnKeyIsThatKeysContainer) {
  int32_t status = 0;
  EXPECT_EQ(ContainerCert(delta, "SelfCA", 1, &status), ReadFile(g_dir + "/selfca.der"));
  int32_t handles[65], n = -1;
  ASSERT_EQ(manager.FindStandaloneCerts(delta, handles, &n), 0);
  std::vector<unsigned char> data(32768);
  for (int i = 0; i < n; ++i) {
    int32_t length = 32768;
    ASSERT_EQ(manager.GetCert(delta, handles[i], data.data(), &length), 0);
    data.resize(length);
    EXPECT_NE(data, ReadFile(g_dir + "/selfca.der"));
    data.resize(32768);
  }
}

TEST_F(SoftHsmTokens, LabelsAndIdsLongerThanTheFirstBuffersAreReadWhole) {
  const std::string label(200, 'L');
  const auto names = Containers(delta);
  EXPECT_NE(std::find(names.begin(), names.end(), label), names.end());
  int32_t status = 0;
  EXPECT_EQ(ContainerCert(delta, label, 1, &status), ReadFile(g_dir + "/long.der"));
}

// A manager deleting a certificate between the library's search and its read.
TEST_F(SoftHsmTokens, AnObjectGoneBetweenSearchAndReadIsLeftOutAndNotedOnce) {
  setenv("PKCS11_COUNTER_TARGET", kModule, 1);
  std::vector<std::string> notes;
  TokenManager counted(tokenlib::SystemCodePage(),
                       [&](const std::string& note) { notes.push_back(note); });
  ASSERT_EQ(counted.Initialise(COUNTER_MODULE_PATH), 0);
  int32_t handles[32], n = 32;
  ASSERT_EQ(counted.Find(handles, &n), 0);
  void* counter = dlopen(COUNTER_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(counter, nullptr);
  reinterpret_cast<void (*)(const char*)>(dlsym(counter, "pkcs11_counter_destroy_after_find"))(
      "Doomed");
  EXPECT_EQ(counted.Reload(delta), 0);
  EXPECT_EQ(Sorted(ContainersOf(counted, delta)),
            (std::vector<std::string>{std::string(200, 'L'), "Pair", "Renewed", "SelfCA"}));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("00000082"), std::string::npos) << notes[0];  // CKR_OBJECT_HANDLE_INVALID
  counted.Finalise();
  dlclose(counter);
}

// Whether openssl finds signature to be key's PKCS#1 v1.5 signature of data.
bool OpensslVerifies(const std::string& publicKey,
                     const std::vector<unsigned char>& data,
                     const std::vector<std::uint8_t>& signature) {
  const std::string in = g_dir + "/signed.bin", sig = g_dir + "/signature.bin";
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  std::ofstream(sig, std::ios::binary)
      .write(reinterpret_cast<const char*>(signature.data()),
             static_cast<std::streamsize>(signature.size()));
  const std::string cmd = "openssl pkeyutl -verify -pubin -keyform DER -inkey " + publicKey +
                          " -in " + in + " -sigfile " + sig + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// The private keys sign and decrypt on the token, once the user is logged in.
TEST_F(SoftHsmTokens, APrivateKeySignsAndDecryptsOnTheToken) {
  // SHA-256's DigestInfo prefix and a hash.
  std::vector<unsigned char> digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                           0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                           0x01, 0x05, 0x00, 0x04, 0x20};
  for (int i = 0; i < 32; ++i)
    digestInfo.push_back(static_cast<unsigned char>(i * 7));
  std::vector<std::uint8_t> signature;
  EXPECT_EQ(manager.SignWithKey(alpha, "sign", 2, digestInfo, &signature),
            static_cast<int32_t>(CKR_USER_NOT_LOGGED_IN));
  int32_t tries = 0;
  ASSERT_EQ(manager.Login(alpha, "1234", &tries), 0);
  ASSERT_EQ(manager.SignWithKey(alpha, "sign", 2, digestInfo, &signature), 0);
  EXPECT_EQ(signature.size(), 256u);
  EXPECT_TRUE(OpensslVerifies(g_dir + "/sign.pub.der", digestInfo, signature));
  signature[100] ^= 1;
  EXPECT_FALSE(OpensslVerifies(g_dir + "/sign.pub.der", digestInfo, signature));

  // A session key enveloped to the exchange key comes back out.
  const std::string key = "0123456789abcdef01234567";
  std::ofstream(g_dir + "/plain.bin", std::ios::binary) << key;
  ASSERT_EQ(std::system(("openssl pkeyutl -encrypt -pubin -keyform DER -inkey " + g_dir +
                         "/exch.pub.der -in " + g_dir + "/plain.bin -out " + g_dir + "/cipher.bin")
                            .c_str()),
            0);
  const std::vector<unsigned char> cipher = ReadFile(g_dir + "/cipher.bin");
  SecretBytes plain;
  ASSERT_EQ(manager.DecryptWithKey(alpha, "exch", 1, cipher, &plain), 0);
  EXPECT_EQ(plain.view(), key);

  const struct {
    const char* container;
    int32_t keySpec;
    int32_t status;
  } refused[] = {
      {"absent", 2, tokenlib::kErrNoContainer},
      {"sign", 1, tokenlib::kErrNoKey},  // a signature key does not decrypt
  };
  for (const auto& r : refused)
    EXPECT_EQ(manager.SignWithKey(alpha, r.container, r.keySpec, digestInfo, &signature), r.status)
        << r.container;
  manager.Logout(alpha);
}

TEST(TokenManagerStart, ToleratesFailedStartsAndRepeatedEnds) {
  TokenManager manager;
  EXPECT_EQ(manager.Finalise(), 0);  // never started
  EXPECT_EQ(manager.Initialise("no_such_pkcs11_module.so"), tokenlib::kErrModuleNotLoaded);
  EXPECT_EQ(manager.Initialise("/lib/x86_64-linux-gnu/libc.so.6"), tokenlib::kErrNoFunctionList);
  EXPECT_EQ(manager.Finalise(), 0);
  int32_t count = 32;
  EXPECT_EQ(manager.Find(nullptr, &count), tokenlib::kErrNotInitialised);
  EXPECT_EQ(count, 0);
  int32_t handles[65], n = 5;
  EXPECT_NE(manager.FindStandaloneCerts(0, handles, &n), 0);
  EXPECT_EQ(n, 0);  // the count is always set
}
