// The token side of a registration pass natively against SoftHSM2, run by
// scripts/bench (not a test): the token library's calls for the big token
// beside the floor, a plain loop that reads what a logged-out pass needs.
#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/big_token.h"
#include "token_manager.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a pass needs, logged out as the monitor is: one search for public
// keys and one for X.509 certificates, then per object only what decides a
// container (a key's id, label and use; a certificate's id and value).
int FloorPass(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
  int read = 0;
  std::vector<unsigned char> value(8193), id(64), label(129);
  const auto find = [&](CK_ATTRIBUTE* match, CK_ULONG count) {
    std::vector<CK_OBJECT_HANDLE> objects(1024);
    CK_ULONG n = 0;
    f->C_FindObjectsInit(s, match, count);
    f->C_FindObjects(s, objects.data(), objects.size(), &n);
    f->C_FindObjectsFinal(s);
    objects.resize(n);
    return objects;
  };
  CK_OBJECT_CLASS publicKey = CKO_PUBLIC_KEY, certificate = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_ATTRIBUTE keys[] = {{CKA_CLASS, &publicKey, sizeof publicKey}};
  for (CK_OBJECT_HANDLE key : find(keys, 1)) {
    CK_BBOOL encrypt, wrap;
    CK_ATTRIBUTE a[] = {{CKA_ID, id.data(), id.size()},
                        {CKA_LABEL, label.data(), label.size()},
                        {CKA_ENCRYPT, &encrypt, 1},
                        {CKA_WRAP, &wrap, 1}};
    f->C_GetAttributeValue(s, key, a, 4);
  }
  CK_ATTRIBUTE certs[] = {{CKA_CLASS, &certificate, sizeof certificate},
                          {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
  for (CK_OBJECT_HANDLE cert : find(certs, 2)) {
    CK_ATTRIBUTE a[] = {{CKA_ID, id.data(), id.size()}, {CKA_VALUE, value.data(), value.size()}};
    read += f->C_GetAttributeValue(s, cert, a, 2) == CKR_OK;
  }
  return read;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  char tmpl[] = "/tmp/token-side-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  if (!tokenlib::testing::MakeBigTokens(dir)) {
    std::printf("the SoftHSM2 token could not be made\n");
    return 1;
  }
  tokenlib::TokenManager manager;
  int32_t handles[32], count = 32;
  if (manager.Initialise(tokenlib::testing::kSoftHsmModule) != 0 ||
      manager.Find(handles, &count) != 0 || count < 1 || manager.Connect(0) != 0) {
    std::printf("the token library did not start\n");
    return 1;
  }
  void* module = dlopen(tokenlib::testing::kSoftHsmModule, RTLD_NOW | RTLD_NOLOAD);
  CK_FUNCTION_LIST* f = nullptr;
  reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))(&f);
  CK_SLOT_ID slot = static_cast<CK_SLOT_ID>(handles[0]);
  CK_SESSION_HANDLE session;
  f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);

  double library = 0, floor = 0;
  int readByLibrary = 0, readByFloor = 0;
  tokenlib::testing::RegistrationPass(manager, 0);  // warm-up
  FloorPass(f, session);
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    readByLibrary = tokenlib::testing::RegistrationPass(manager, 0);
    library += Ms(Clock::now() - t0);
    t0 = Clock::now();
    readByFloor = FloorPass(f, session);
    floor += Ms(Clock::now() - t0);
  }
  f->C_CloseSession(session);
  manager.Finalise();
  dlclose(module);

  // A token fuller than any real one: 300 containers on the virtual token.
  const std::string many = dir + "/many";
  std::system(("mkdir -p " + many).c_str());
  FILE* ini = std::fopen((many + "/token.ini").c_str(), "w");
  std::fprintf(ini, "[token]\nlabel=Many\nuserPin=12345678\n");
  for (int i = 0; i < 300; ++i)
    std::fprintf(
        ini, "[container:Many-%03d]\nexchange=../vtoken/x%02d.der\nsignature=../vtoken/s%02d.der\n",
        i, i % 65 + 1, i % 65 + 1);
  std::fclose(ini);
  std::FILE* config = std::fopen((dir + "/vtoken.ini").c_str(), "w");
  std::fprintf(config, "[slots]\ncount=1\nslot0=%s\n", many.c_str());
  std::fclose(config);
  setenv("VTOKEN_CONFIG", (dir + "/vtoken.ini").c_str(), 1);
  tokenlib::TokenManager virtualToken;
  count = 32;
  double full = 0;
  int readFull = 0;
  if (virtualToken.Initialise(VTOKEN_MODULE_PATH) == 0 && virtualToken.Find(handles, &count) == 0 &&
      count > 0 && virtualToken.Connect(0) == 0) {
    tokenlib::testing::RegistrationPass(virtualToken, 0);
    for (int r = 0; r < 5; ++r) {
      const auto t0 = Clock::now();
      readFull = tokenlib::testing::RegistrationPass(virtualToken, 0);
      full += Ms(Clock::now() - t0);
    }
  }
  virtualToken.Finalise();
  std::system(("rm -rf " + dir).c_str());
  std::printf("token side, SoftHSM2, 65 containers x 2 + 65 CA certificates (mean of %d):\n",
              rounds);
  std::printf("  library pass: %8.2f ms  (%d certificates)\n", library / rounds, readByLibrary);
  std::printf(
      "  floor:        %8.2f ms  (%d certificates; what a logged-out pass needs: one\n"
      "                  search for public keys, one for X.509 certificates, one\n"
      "                  call per object for what decides a container)\n",
      floor / rounds, readByFloor);
  std::printf("  ratio:        %8.2f\n", library / floor);
  std::printf("token side, virtual token, 300 containers x 2 certificates (mean of 5):\n");
  std::printf("  library pass: %8.2f ms  (%d certificates, the module's own work included)\n",
              full / 5, readFull);
  return 0;
}
