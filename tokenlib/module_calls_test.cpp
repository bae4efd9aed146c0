// How many module calls one registration pass costs, counted by a pass-through
// module between the library and the virtual token or SoftHSM2.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/big_token.h"
#include "token_manager.h"

using tokenlib::TokenManager;

namespace {

class ModuleCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tokenlib-calls-XXXXXX";
    dir_ = mkdtemp(tmpl);
    ASSERT_EQ(std::system((std::string(VTOKEN_DEMO_SCRIPT " ") + dir_ + "/demo").c_str()), 0);
    ASSERT_TRUE(tokenlib::testing::MakeBigTokens(dir_ + "/big"));
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  // The calls one pass makes over the first token the target module shows.
  unsigned long CallsPerPass(const std::string& target) {
    setenv("PKCS11_COUNTER_TARGET", target.c_str(), 1);
    TokenManager manager;
    EXPECT_EQ(manager.Initialise(COUNTER_MODULE_PATH), 0);
    int32_t handles[32], count = 32;
    EXPECT_EQ(manager.Find(handles, &count), 0);
    EXPECT_GE(count, 1);
    manager.Connect(0);
    void* counter = dlopen(COUNTER_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    auto get =
        reinterpret_cast<unsigned long (*)(const char*)>(dlsym(counter, "pkcs11_counter_get"));
    auto reset = reinterpret_cast<void (*)()>(dlsym(counter, "pkcs11_counter_reset"));
    reset();
    EXPECT_GT(tokenlib::testing::RegistrationPass(manager, 0), 0);
    const unsigned long calls = get("*");
    std::printf("%s: %lu calls, %lu of them C_GetAttributeValue\n", target.c_str(), calls,
                get("C_GetAttributeValue"));
    manager.Finalise();
    dlclose(counter);
    return calls;
  }
  void UseVirtualToken(const std::string& token) {
    std::ofstream(dir_ + "/vtoken.ini") << "[slots]\ncount=1\nslot0=" << token << "\n";
    setenv("VTOKEN_CONFIG", (dir_ + "/vtoken.ini").c_str(), 1);
  }
  std::string dir_;
};

}  // namespace

// Objects a pass reads before login: the demo token's 4 public keys and 6
// certificates; the big token's 130 public keys and 195 certificates. The
// searches (three classes) add a dozen calls.
TEST_F(ModuleCalls, APassReadsEachObjectOnce) {
  UseVirtualToken(dir_ + "/demo/tokens/alice");
  EXPECT_LE(CallsPerPass(VTOKEN_MODULE_PATH), 10u + 12u);
  UseVirtualToken(dir_ + "/big/vtoken");
  EXPECT_LE(CallsPerPass(VTOKEN_MODULE_PATH), 325u + 12u);
  EXPECT_LE(CallsPerPass(tokenlib::testing::kSoftHsmModule), 325u + 12u);
}

// The time of such a pass is in scripts/bench (Release): this build is not timed.
TEST_F(ModuleCalls, ThreeHundredContainersCostOneCallPerObject) {
  const std::string folder = dir_ + "/big/many";
  std::filesystem::create_directories(folder);
  std::ofstream ini(folder + "/token.ini");
  ini << "[token]\nlabel=Many\nuserPin=12345678\n";
  for (int i = 0; i < 300; ++i) {
    char section[96];
    std::snprintf(
        section, sizeof section,
        "[container:Many-%03d]\nexchange=../vtoken/x%02d.der\nsignature=../vtoken/s%02d.der\n", i,
        i % 65 + 1, i % 65 + 1);
    ini << section;
  }
  ini.close();
  UseVirtualToken(folder);
  // 600 public keys and 600 certificates; the searches fetch 512 handles a call.
  EXPECT_LE(CallsPerPass(VTOKEN_MODULE_PATH), 1200u + 14u);
}
