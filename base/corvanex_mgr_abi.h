#pragma once
// The C interface of CorvanexMgr.dll, shared by the library and the monitor.
// Every function returns int32 status 0 on success and uses __stdcall (the
// only convention on x64); names are exported undecorated. Text is 8-bit in
// the system code page unless it is UTF-16 (char16_t). Sizes in comments are
// the buffer sizes callers pass; the library never writes past them.
#include <cstdint>

#if defined(_WIN32)
#define CMGR_CALL __stdcall
#else
#define CMGR_CALL
#endif

#if defined(CORVANEXMGR_BUILD)
#define CMGR_API extern "C" __declspec(dllexport)
#else
#define CMGR_API extern "C"
#endif

namespace cmgr {
inline constexpr int kMaxTokens = 32;  // token_find handles
inline constexpr int kContainerListSize = 8192;
inline constexpr int kCertDataSize = 32768;
inline constexpr int kPubKeySize = 257;
inline constexpr int kNameUnits = 257;  // subject, issuer (UTF-16 units)
inline constexpr int kSerialSize = 257;
inline constexpr int kDateBlockSize = 9;
inline constexpr int kMaxStandaloneCerts = 65;
// A status every function may return: an argument was missing or unusable
// (CKR_ARGUMENTS_BAD), for instance a blank provider name.
inline constexpr int kArgumentsBad = 0x7;
// helper_add_root_cert_to_store: the user declined the system's prompt to
// trust the root.
inline constexpr std::int32_t kRootDeclined = static_cast<std::int32_t>(0x80002003);

// keySpec arguments: which key of a container (CryptoAPI's AT_KEYEXCHANGE
// and AT_SIGNATURE).
enum KeySpec : std::int32_t { kExchangeKey = 1, kSignatureKey = 2 };
// helper_get_cert_info2's kind: a certificate for a key of the token, a
// self-signed CA certificate, or another CA certificate.
enum CertKind : std::int32_t {
  kUserCertificate = 0,
  kRootCertificate = 1,
  kIntermediateCertificate = 2
};

// helper_get_cert_info2's outputs as one record, sized as the interface says:
// names NUL-terminated UTF-16, the serial in hex, dates as year, month, day
// (and time, the rest 0).
struct CertInfo {
  char16_t subject[kNameUnits] = {};
  char16_t issuer[kNameUnits] = {};
  std::int32_t version = 0;
  char serial[kSerialSize] = {};
  std::int32_t notBefore[kDateBlockSize] = {};
  std::int32_t notAfter[kDateBlockSize] = {};
  std::int32_t kind = kUserCertificate;
};
}  // namespace cmgr

// The function types, one per export; the monitor resolves each by name.
#define CMGR_FUNCTIONS(X)                                                                        \
  X(init_pkcs11, (const char* module))                                                           \
  X(init_pkcs11_ex, (const char* ext1, const char* ext2, const char* ext3, const char* module))  \
  X(uninit_pkcs11, ())                                                                           \
  X(token_find, (int32_t * handles, int32_t * count))                                            \
  X(token_connect, (int32_t token))                                                              \
  X(token_get_info,                                                                              \
    (int32_t token, char* label, char* manufacturer, char* model, char* serial, int32_t* props)) \
  X(token_reload_all_objects, (int32_t token))                                                   \
  X(container_load_all, (int32_t token, char* names, int32_t* length))                           \
  X(container_get_cert, (int32_t token, const char* container, int32_t keySpec,                  \
                         unsigned char* certData, int32_t* certLen))                             \
  X(container_get_pubkey,                                                                        \
    (int32_t token, const char* container, int32_t keySpec, int32_t* keyBits,                    \
     int32_t* exponentLength, unsigned char* modulus, int32_t* modulusLength))                   \
  X(helper_get_cert_info2,                                                                       \
    (const unsigned char* certData, int32_t certLen, char16_t* subject, char16_t* issuer,        \
     int32_t* version, char* serial, int32_t* notBefore, int32_t* notAfter, int32_t* kind))      \
  X(container_addcert_to_store, (const char* container, const char* provider, int32_t keySpec,   \
                                 const unsigned char* certData, int32_t certLen))                \
  X(helper_add_root_cert_to_store,                                                               \
    (const char16_t* storeName, const unsigned char* certData, int32_t certLen))                 \
  X(remove_all_certs_from_store, (const char* provider))                                         \
  X(remove_marked_certs_from_store, ())                                                          \
  X(token_find_standalone_certs, (int32_t token, int32_t * handles, int32_t * count))            \
  X(token_get_cert, (int32_t token, int32_t handle, unsigned char* certData, int32_t* certLen))  \
  X(token_get_pin_state, (int32_t token, int32_t pinKind, int32_t * state))                      \
  X(token_login, (int32_t token, const char* pin, int32_t* triesLeft))                           \
  X(token_logout, (int32_t token))                                                               \
  X(token_change_upin, (int32_t token, const char* oldPin, const char* newPin))

#define CMGR_DECLARE_EXPORT(name, params) CMGR_API int32_t CMGR_CALL name params;
#define CMGR_DECLARE_TYPE(name, params) using name##_fn = int32_t(CMGR_CALL*) params;

namespace cmgr {
CMGR_FUNCTIONS(CMGR_DECLARE_TYPE)
}
