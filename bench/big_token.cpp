#include "bench/big_token.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/der/der.h"
#include "base/pkcs11_api.h"

namespace tokenlib::testing {

namespace {

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Writes the big token's public keys and certificates straight through
// PKCS#11: a tool run per object would take minutes.
bool FillSoftHsmToken(const std::string& certs) {
  void* lib = dlopen(kSoftHsmModule, RTLD_NOW | RTLD_LOCAL);
  if (!lib)
    return false;
  CK_FUNCTION_LIST* f = nullptr;
  reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"))(&f);
  bool ok = f && f->C_Initialize(nullptr) == CKR_OK;
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  CK_SESSION_HANDLE s = 0;
  char pin[] = "12345678";
  ok = ok && f->C_GetSlotList(CK_TRUE, slots, &n) == CKR_OK && n > 0 &&
       f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) ==
           CKR_OK &&
       f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin), 8) == CKR_OK;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PUBLIC_KEY;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_KEY_TYPE rsa = CKK_RSA;
  unsigned char exponent[] = {1, 0, 1};
  const auto addCert = [&](const std::vector<unsigned char>& der, const std::string& id,
                           const std::string& label) {
    std::vector<unsigned char> value = der;
    CK_ATTRIBUTE a[] = {{CKA_CLASS, &certClass, sizeof certClass},
                        {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_ID, const_cast<char*>(id.data()), id.size()},
                        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                        {CKA_SUBJECT, nullptr, 0},  // required; the library never reads it
                        {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE h;
    return f->C_CreateObject(s, a, std::size(a), &h) == CKR_OK;
  };
  for (int i = 1; ok && i <= 65; ++i) {
    char number[8];
    std::snprintf(number, sizeof number, "%02d", i);
    const std::string name = std::string("Big-") + number;
    for (const bool exchange : {true, false}) {
      const auto der = ReadFile(certs + "/" + (exchange ? "x" : "s") + number + ".der");
      auto modulus = der::CertificatePublicKey(der).value_or(std::vector<std::uint8_t>{});
      CK_BBOOL exch = exchange ? CK_TRUE : CK_FALSE, sign = exchange ? CK_FALSE : CK_TRUE;
      CK_ATTRIBUTE key[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                            {CKA_KEY_TYPE, &rsa, sizeof rsa},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_PRIVATE, &no, 1},
                            {CKA_ID, const_cast<char*>(name.data()), name.size()},
                            {CKA_LABEL, const_cast<char*>(name.data()), name.size()},
                            {CKA_ENCRYPT, &exch, 1},
                            {CKA_WRAP, &exch, 1},
                            {CKA_VERIFY, &sign, 1},
                            {CKA_MODULUS, modulus.data(), modulus.size()},
                            {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
      CK_OBJECT_HANDLE h;
      ok = ok && !der.empty() && f->C_CreateObject(s, key, std::size(key), &h) == CKR_OK &&
           addCert(der, name, name);
    }
    ok = ok && addCert(ReadFile(certs + "/ca" + number + ".der"), "ca" + std::string(number),
                       "Big CA " + std::string(number));
  }
  if (f) {
    f->C_CloseAllSessions(n > 0 ? slots[0] : 0);
    f->C_Finalize(nullptr);
  }
  dlclose(lib);
  return ok;
}

}  // namespace

bool MakeBigTokens(const std::string& folder) {
  const std::string vtoken = folder + "/vtoken", softhsm = folder + "/softhsm";
  if (std::system(("mkdir -p '" + softhsm + "/tokens' && '" VTOKEN_BIG_SCRIPT "' '" + vtoken + "'")
                      .c_str()) != 0)
    return false;
  const std::string conf = softhsm + "/softhsm2.conf";
  std::ofstream(conf) << "directories.tokendir = " << softhsm
                      << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  if (std::system("softhsm2-util --init-token --free --label big --pin 12345678 "
                  "--so-pin 87654321 >/dev/null") != 0)
    return false;
  return FillSoftHsmToken(vtoken);
}

int RegistrationPass(TokenManager& m, int token) {
  int read = 0;
  m.Reload(token);
  std::vector<char> names(8192);
  std::int32_t length = 8192;
  if (m.LoadContainers(token, names.data(), &length) != 0)
    length = 0;
  std::vector<unsigned char> data(32768);
  for (const char* p = names.data(); p < names.data() + length; p += std::strlen(p) + 1) {
    for (std::int32_t spec : {1, 2}) {
      std::int32_t size = 32768, bits, exponent, modulusLength;
      unsigned char modulus[257];
      if (m.GetContainerCert(token, p, spec, data.data(), &size) != 0)
        continue;
      m.GetContainerPubKey(token, p, spec, &bits, &exponent, modulus, &modulusLength);
      ++read;
    }
  }
  std::int32_t handles[65], count = 0;
  m.FindStandaloneCerts(token, handles, &count);
  for (int i = 0; i < count; ++i) {
    std::int32_t size = 32768;
    read += m.GetCert(token, handles[i], data.data(), &size) == 0;
  }
  return read;
}

}  // namespace tokenlib::testing
