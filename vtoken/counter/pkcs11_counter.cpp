// A PKCS#11 module that passes every call on to another module and counts
// them, to measure how many calls the token library makes. The module it
// stands for is named by PKCS11_COUNTER_TARGET (a full path). The counts are
// read with pkcs11_counter_get (a function name, or "*" for all) and cleared
// with pkcs11_counter_reset. pkcs11_counter_destroy_after_find(label) has the
// target destroy the object of that CKA_LABEL right after the next search
// that finds it, as when a manager deletes it between a search and a read.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/pkcs11_api.h"

#if defined(_WIN32)
#include <windows.h>
#define COUNTER_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define COUNTER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// clang-format off
#define COUNTER_FUNCTIONS(X)                                                                      \
  X(C_Initialize) X(C_Finalize) X(C_GetInfo) X(C_GetSlotList) X(C_GetSlotInfo) X(C_GetTokenInfo) \
  X(C_GetMechanismList) X(C_GetMechanismInfo) X(C_InitToken) X(C_InitPIN) X(C_SetPIN)            \
  X(C_OpenSession) X(C_CloseSession) X(C_CloseAllSessions) X(C_GetSessionInfo)                   \
  X(C_GetOperationState) X(C_SetOperationState) X(C_Login) X(C_Logout) X(C_CreateObject)         \
  X(C_CopyObject) X(C_DestroyObject) X(C_GetObjectSize) X(C_GetAttributeValue)                   \
  X(C_SetAttributeValue) X(C_FindObjectsInit) X(C_FindObjects) X(C_FindObjectsFinal)             \
  X(C_EncryptInit) X(C_Encrypt) X(C_EncryptUpdate) X(C_EncryptFinal) X(C_DecryptInit)            \
  X(C_Decrypt) X(C_DecryptUpdate) X(C_DecryptFinal) X(C_DigestInit) X(C_Digest)                  \
  X(C_DigestUpdate) X(C_DigestKey) X(C_DigestFinal) X(C_SignInit) X(C_Sign) X(C_SignUpdate)      \
  X(C_SignFinal) X(C_SignRecoverInit) X(C_SignRecover) X(C_VerifyInit) X(C_Verify)               \
  X(C_VerifyUpdate) X(C_VerifyFinal) X(C_VerifyRecoverInit) X(C_VerifyRecover)                   \
  X(C_DigestEncryptUpdate) X(C_DecryptDigestUpdate) X(C_SignEncryptUpdate)                       \
  X(C_DecryptVerifyUpdate) X(C_GenerateKey) X(C_GenerateKeyPair) X(C_WrapKey) X(C_UnwrapKey)     \
  X(C_DeriveKey) X(C_SeedRandom) X(C_GenerateRandom) X(C_GetFunctionStatus) X(C_CancelFunction)  \
  X(C_WaitForSlotEvent)
// clang-format on

namespace {

enum Function {
#define COUNTER_ENUM(name) k_##name,
  COUNTER_FUNCTIONS(COUNTER_ENUM) kFunctionCount
};
const char* const kNames[] = {
#define COUNTER_NAME(name) #name,
    COUNTER_FUNCTIONS(COUNTER_NAME)};

std::atomic<unsigned long> g_counts[kFunctionCount];
CK_FUNCTION_LIST* g_target = nullptr;

template <Function F, auto Member, class Fn>
struct Forward;
template <Function F, auto Member, class... A>
struct Forward<F, Member, CK_RV (*)(A...)> {
  static CK_RV Call(A... args) {
    ++g_counts[F];
    return (g_target->*Member)(args...);
  }
};

CK_RV LoadTarget() {
  if (g_target)
    return CKR_OK;
  CK_C_GetFunctionList getList = nullptr;
#if defined(_WIN32)
  const wchar_t* path = _wgetenv(L"PKCS11_COUNTER_TARGET");
  if (HMODULE module = path ? LoadLibraryW(path) : nullptr)
    getList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")));
#else
  const char* path = std::getenv("PKCS11_COUNTER_TARGET");
  if (void* module = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr)
    getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
#endif
  if (!getList || getList(&g_target) != CKR_OK || !g_target) {
    g_target = nullptr;
    return CKR_GENERAL_ERROR;
  }
  return CKR_OK;
}

char g_doomedLabel[256] = {};

CK_RV FindObjectsThenDestroy(CK_SESSION_HANDLE s,
                             CK_OBJECT_HANDLE* found,
                             CK_ULONG max,
                             CK_ULONG* n) {
  ++g_counts[k_C_FindObjects];
  const CK_RV rv = g_target->C_FindObjects(s, found, max, n);
  if (rv != CKR_OK || !g_doomedLabel[0] || !n)
    return rv;
  for (CK_ULONG i = 0; i < *n && i < max; ++i) {
    char label[256] = {};
    CK_ATTRIBUTE a{CKA_LABEL, label, sizeof label - 1};
    if (g_target->C_GetAttributeValue(s, found[i], &a, 1) == CKR_OK &&
        std::strcmp(label, g_doomedLabel) == 0 && g_target->C_DestroyObject(s, found[i]) == CKR_OK)
      g_doomedLabel[0] = '\0';
  }
  return rv;
}

CK_FUNCTION_LIST g_list = [] {
  CK_FUNCTION_LIST f{};
  f.version = {2, 40};
#define COUNTER_FORWARD(name) \
  f.name = &Forward<k_##name, &CK_FUNCTION_LIST::name, decltype(CK_FUNCTION_LIST::name)>::Call;
  COUNTER_FUNCTIONS(COUNTER_FORWARD)
  f.C_FindObjects = &FindObjectsThenDestroy;
  return f;
}();

}  // namespace

COUNTER_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST** out) {
  if (!out)
    return CKR_ARGUMENTS_BAD;
  if (CK_RV rv = LoadTarget())
    return rv;
  g_list.C_GetFunctionList = &C_GetFunctionList;
  *out = &g_list;
  return CKR_OK;
}

COUNTER_EXPORT unsigned long pkcs11_counter_get(const char* name) {
  unsigned long total = 0;
  for (int i = 0; i < kFunctionCount; ++i)
    if (name && (std::strcmp(name, "*") == 0 || std::strcmp(name, kNames[i]) == 0))
      total += g_counts[i];
  return total;
}

COUNTER_EXPORT void pkcs11_counter_reset() {
  for (auto& c : g_counts)
    c = 0;
}

COUNTER_EXPORT void pkcs11_counter_destroy_after_find(const char* label) {
  std::strncpy(g_doomedLabel, label ? label : "", sizeof g_doomedLabel - 1);
}
