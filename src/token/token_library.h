#pragma once
#include <cstdint>
#include <string>

#include "base/corvanex_mgr_abi.h"

// What a call of an optional export answers when the library lacks it
// (E_NOTIMPL).
inline constexpr std::int32_t kNotExported = static_cast<std::int32_t>(0x80004001);

// The 21 functions of the token-management library, as the program calls
// them (the last, remove_marked_certs_from_store, optional). Texts the program makes (module and
// provider names, PINs, store names) are UTF-16 here and become 8-bit text at the binding;
// container names are the library's own 8-bit bytes, handed back unchanged.
class TokenLibrary {
 public:
  virtual ~TokenLibrary() = default;
  virtual std::int32_t init_pkcs11(const std::wstring& module) = 0;
  virtual std::int32_t init_pkcs11_ex(const std::wstring& ext1,
                                      const std::wstring& ext2,
                                      const std::wstring& ext3,
                                      const std::wstring& module) = 0;
  virtual std::int32_t uninit_pkcs11() = 0;
  virtual std::int32_t token_find(std::int32_t* handles, std::int32_t* count) = 0;
  virtual std::int32_t token_connect(std::int32_t token) = 0;
  virtual std::int32_t token_get_info(std::int32_t token,
                                      char* label,
                                      char* manufacturer,
                                      char* model,
                                      char* serial,
                                      std::int32_t* props) = 0;
  virtual std::int32_t token_reload_all_objects(std::int32_t token) = 0;
  virtual std::int32_t container_load_all(std::int32_t token,
                                          char* names,
                                          std::int32_t* length) = 0;
  virtual std::int32_t container_get_cert(std::int32_t token,
                                          const std::string& container,
                                          std::int32_t keySpec,
                                          unsigned char* certData,
                                          std::int32_t* certLen) = 0;
  virtual std::int32_t container_get_pubkey(std::int32_t token,
                                            const std::string& container,
                                            std::int32_t keySpec,
                                            std::int32_t* keyBits,
                                            std::int32_t* exponentLength,
                                            unsigned char* modulus,
                                            std::int32_t* modulusLength) = 0;
  // The nine outputs of the C function, in one record.
  virtual std::int32_t helper_get_cert_info2(const unsigned char* certData,
                                             std::int32_t certLen,
                                             cmgr::CertInfo& info) = 0;
  virtual std::int32_t container_addcert_to_store(const std::string& container,
                                                  const std::wstring& provider,
                                                  std::int32_t keySpec,
                                                  const unsigned char* certData,
                                                  std::int32_t certLen) = 0;
  virtual std::int32_t helper_add_root_cert_to_store(const std::wstring& storeName,
                                                     const unsigned char* certData,
                                                     std::int32_t certLen) = 0;
  virtual std::int32_t remove_all_certs_from_store(const std::wstring& provider) = 0;
  // Every certificate carrying the library's mark, whatever its provider;
  // kNotExported from a library of the published 20 functions.
  virtual std::int32_t remove_marked_certs_from_store() = 0;
  virtual std::int32_t token_find_standalone_certs(std::int32_t token,
                                                   std::int32_t* handles,
                                                   std::int32_t* count) = 0;
  virtual std::int32_t token_get_cert(std::int32_t token,
                                      std::int32_t handle,
                                      unsigned char* certData,
                                      std::int32_t* certLen) = 0;
  virtual std::int32_t token_get_pin_state(std::int32_t token,
                                           std::int32_t pinKind,
                                           std::int32_t* state) = 0;
  virtual std::int32_t token_login(std::int32_t token,
                                   const std::wstring& pin,
                                   std::int32_t* triesLeft) = 0;
  virtual std::int32_t token_logout(std::int32_t token) = 0;
  virtual std::int32_t token_change_upin(std::int32_t token,
                                         const std::wstring& oldPin,
                                         const std::wstring& newPin) = 0;
};
