// Provider benchmark, run by scripts/bench under Wine (not a test).
//   provider_bench PROVIDER-DLL ROUNDS
//       with Alice's token in slot 0 and the virtual token installed as the
//       product's module: a SHA-256 signature through our provider
//       (CryptCreateHash, CryptHashData, CryptSignHash) beside its floor, the
//       same hash made by Microsoft's provider and signed directly with
//       C_SignInit and C_Sign on the same token, logged in once; rounds
//       alternate so both see the same machine.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/pkcs11_api.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr wchar_t kProvider[] = L"Veltrox Pelkin V9Arc CSP V1.1";
constexpr wchar_t kProviderKey[] =
    L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1";
constexpr char kPin[] = "12345678";
const std::vector<BYTE> kData(4096, 0x5a);

bool Register(const std::wstring& image) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  const DWORD type = PROV_RSA_FULL, inFile = 0;
  RegSetValueExW(key, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                 static_cast<DWORD>((image.size() + 1) * sizeof(wchar_t)));
  RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
  RegSetValueExW(key, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&inFile),
                 sizeof inFile);
  RegCloseKey(key);
  return true;
}

// The hash every signature needs, from Microsoft's provider.
std::vector<BYTE> Sha256(HCRYPTPROV software) {
  HCRYPTHASH hash = 0;
  CryptCreateHash(software, CALG_SHA_256, 0, 0, &hash);
  CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0);
  std::vector<BYTE> value(32);
  DWORD length = 32;
  CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0);
  CryptDestroyHash(hash);
  return value;
}

struct DirectToken {
  HMODULE module = nullptr;
  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE key = 0;

  bool Open() {
    module = LoadLibraryW(L"v9arc_pkcs11.dll");
    auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(
                            reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")))
                      : nullptr;
    if (!get || get(&f) != CKR_OK)
      return false;
    f->C_Initialize(nullptr);  // another part of the process may have started it
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    if (f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK || count == 0)
      return false;
    if (f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
      return false;
    CK_RV login =
        f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kPin)), 8);
    if (login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN)
      return false;
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE find[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_SIGN, &yes, sizeof yes}};
    CK_ULONG found = 0;
    f->C_FindObjectsInit(session, find, 2);
    f->C_FindObjects(session, &key, 1, &found);
    f->C_FindObjectsFinal(session);
    return found == 1;
  }
  bool Sign(const std::vector<BYTE>& hash) {
    static const BYTE prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<BYTE> block(std::begin(prefix), std::end(prefix));
    block.insert(block.end(), hash.begin(), hash.end());
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    BYTE signature[512];
    CK_ULONG length = sizeof signature;
    return f->C_SignInit(session, &mechanism, key) == CKR_OK &&
           f->C_Sign(session, block.data(), static_cast<CK_ULONG>(block.size()), signature,
                     &length) == CKR_OK;
  }
};

bool SignThroughProvider(HCRYPTPROV provider) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))
    return false;
  BYTE signature[512];
  DWORD length = sizeof signature;
  const bool ok = CryptHashData(hash, kData.data(), static_cast<DWORD>(kData.size()), 0) &&
                  CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature, &length);
  CryptDestroyHash(hash);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: provider_bench PROVIDER-DLL ROUNDS\n");
    return 2;
  }
  const int rounds = std::max(3, _wtoi(argv[2]));
  if (!Register(argv[1])) {
    std::fprintf(stderr, "cannot register the provider\n");
    return 1;
  }
  HCRYPTPROV provider = 0, software = 0;
  DirectToken direct;
  int status = 1;
  if (!CryptAcquireContextW(&provider, L"Alice-Keys", kProvider, PROV_RSA_FULL, CRYPT_SILENT) ||
      !CryptSetProvParam(provider, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0)) {
    std::fprintf(stderr, "provider: error 0x%lx\n", GetLastError());
  } else if (!CryptAcquireContextW(&software, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                   CRYPT_VERIFYCONTEXT) ||
             !direct.Open()) {
    std::fprintf(stderr, "floor: cannot sign on the token directly\n");
  } else {
    std::vector<double> ours, floor;
    SignThroughProvider(provider);  // warm-up of both
    direct.Sign(Sha256(software));
    for (int i = 0; i < rounds; ++i) {
      auto start = Clock::now();
      const bool a = SignThroughProvider(provider);
      ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      start = Clock::now();
      const bool b = direct.Sign(Sha256(software));
      floor.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      if (!a || !b) {
        std::fprintf(stderr, "a signature failed (provider %d, floor %d)\n", a, b);
        break;
      }
    }
    if (ours.size() == static_cast<std::size_t>(rounds)) {
      const double o = Median(ours), f = Median(floor);
      std::printf(
          "signature through the provider: %.2f ms, floor (hash + C_Sign): %.2f ms, "
          "ratio: %.2f (median of %d)\n",
          o, f, o / f, rounds);
      status = 0;
    }
  }
  if (provider)
    CryptReleaseContext(provider, 0);
  if (software)
    CryptReleaseContext(software, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, KEY_WOW64_64KEY, 0);
  return status;
}
