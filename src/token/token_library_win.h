#pragma once
#include <string>
#include <string_view>

#include "base/corvanex_mgr_abi.h"
#include "token/token_library.h"
#include "base/unique_handle_win.h"

// The library bound to CorvanexMgr.dll, loaded by full path from the
// executable's folder. When the file or any of the published boundary's 20
// functions is missing, every call fails with kLibraryMissing, so the start
// of the library fails and the program says so. Our own optional export
// answers kNotExported when the library lacks it.
class DllTokenLibrary : public TokenLibrary {
 public:
  static constexpr std::int32_t kLibraryMissing = static_cast<std::int32_t>(0x80004001);

  explicit DllTokenLibrary(const std::wstring& dllPath);
  bool Loaded() const { return loaded_; }

  std::int32_t init_pkcs11(const std::wstring& module) override;
  std::int32_t init_pkcs11_ex(const std::wstring& ext1,
                              const std::wstring& ext2,
                              const std::wstring& ext3,
                              const std::wstring& module) override;
  std::int32_t uninit_pkcs11() override;
  std::int32_t token_find(std::int32_t* handles, std::int32_t* count) override;
  std::int32_t token_connect(std::int32_t token) override;
  std::int32_t token_get_info(std::int32_t token,
                              char* label,
                              char* manufacturer,
                              char* model,
                              char* serial,
                              std::int32_t* props) override;
  std::int32_t token_reload_all_objects(std::int32_t token) override;
  std::int32_t container_load_all(std::int32_t token, char* names, std::int32_t* length) override;
  std::int32_t container_get_cert(std::int32_t token,
                                  const std::string& container,
                                  std::int32_t keySpec,
                                  unsigned char* certData,
                                  std::int32_t* certLen) override;
  std::int32_t container_get_pubkey(std::int32_t token,
                                    const std::string& container,
                                    std::int32_t keySpec,
                                    std::int32_t* keyBits,
                                    std::int32_t* exponentLength,
                                    unsigned char* modulus,
                                    std::int32_t* modulusLength) override;
  std::int32_t helper_get_cert_info2(const unsigned char* certData,
                                     std::int32_t certLen,
                                     cmgr::CertInfo& info) override;
  std::int32_t container_addcert_to_store(const std::string& container,
                                          const std::wstring& provider,
                                          std::int32_t keySpec,
                                          const unsigned char* certData,
                                          std::int32_t certLen) override;
  std::int32_t helper_add_root_cert_to_store(const std::wstring& storeName,
                                             const unsigned char* certData,
                                             std::int32_t certLen) override;
  std::int32_t remove_all_certs_from_store(const std::wstring& provider) override;
  // kNotExported from a library of the published boundary alone.
  std::int32_t remove_marked_certs_from_store() override;
  std::int32_t token_find_standalone_certs(std::int32_t token,
                                           std::int32_t* handles,
                                           std::int32_t* count) override;
  std::int32_t token_get_cert(std::int32_t token,
                              std::int32_t handle,
                              unsigned char* certData,
                              std::int32_t* certLen) override;
  std::int32_t token_get_pin_state(std::int32_t token,
                                   std::int32_t pinKind,
                                   std::int32_t* state) override;
  std::int32_t token_login(std::int32_t token,
                           const std::wstring& pin,
                           std::int32_t* triesLeft) override;
  std::int32_t token_logout(std::int32_t token) override;
  std::int32_t token_change_upin(std::int32_t token,
                                 const std::wstring& oldPin,
                                 const std::wstring& newPin) override;

 private:
  static bool IsOptionalExport(std::string_view name);
  UniqueModule dll_;
  bool loaded_ = false;
#define CMGR_MEMBER(name, params) cmgr::name##_fn name##_ = nullptr;
  CMGR_FUNCTIONS(CMGR_MEMBER)
#undef CMGR_MEMBER
};
