#include "token/token_library_win.h"

#include <optional>

#include "base/text_win.h"

DllTokenLibrary::DllTokenLibrary(const std::wstring& dllPath)
    : dll_(LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
  if (!dll_)
    return;
  loaded_ = true;
#define CMGR_RESOLVE(name, params)                                 \
  name##_ = reinterpret_cast<cmgr::name##_fn>(                     \
      reinterpret_cast<void*>(GetProcAddress(dll_.get(), #name))); \
  loaded_ = loaded_ && (name##_ != nullptr || IsOptionalExport(#name));
  CMGR_FUNCTIONS(CMGR_RESOLVE)
#undef CMGR_RESOLVE
}

bool DllTokenLibrary::IsOptionalExport(std::string_view name) {
  // Ours, beyond the published boundary: a library with only its 20
  // functions still serves.
  return name == "remove_marked_certs_from_store";
}

#define CALL(name, ...) (loaded_ ? name##_(__VA_ARGS__) : kLibraryMissing)

// The module's name reaches the library as 8-bit text: one the code page
// cannot hold exactly is refused, as a best-fit mapping could name another
// file ("\xFF34oken.dll" would load "Token.dll") than the one checked.
std::int32_t DllTokenLibrary::init_pkcs11(const std::wstring& module) {
  const auto name = ToAnsiExact(module);
  if (!name)
    return cmgr::kArgumentsBad;
  return CALL(init_pkcs11, name->c_str());
}
std::int32_t DllTokenLibrary::init_pkcs11_ex(const std::wstring& ext1,
                                             const std::wstring& ext2,
                                             const std::wstring& ext3,
                                             const std::wstring& module) {
  const auto name = ToAnsiExact(module);
  if (!name)
    return cmgr::kArgumentsBad;
  return CALL(init_pkcs11_ex, ToAnsi(ext1).c_str(), ToAnsi(ext2).c_str(), ToAnsi(ext3).c_str(),
              name->c_str());
}
std::int32_t DllTokenLibrary::uninit_pkcs11() {
  return CALL(uninit_pkcs11);
}
std::int32_t DllTokenLibrary::token_find(std::int32_t* handles, std::int32_t* count) {
  return CALL(token_find, handles, count);
}
std::int32_t DllTokenLibrary::token_connect(std::int32_t token) {
  return CALL(token_connect, token);
}
std::int32_t DllTokenLibrary::token_get_info(std::int32_t token,
                                             char* label,
                                             char* manufacturer,
                                             char* model,
                                             char* serial,
                                             std::int32_t* props) {
  return CALL(token_get_info, token, label, manufacturer, model, serial, props);
}
std::int32_t DllTokenLibrary::token_reload_all_objects(std::int32_t token) {
  return CALL(token_reload_all_objects, token);
}
std::int32_t DllTokenLibrary::container_load_all(std::int32_t token,
                                                 char* names,
                                                 std::int32_t* length) {
  return CALL(container_load_all, token, names, length);
}
std::int32_t DllTokenLibrary::container_get_cert(std::int32_t token,
                                                 const std::string& container,
                                                 std::int32_t keySpec,
                                                 unsigned char* certData,
                                                 std::int32_t* certLen) {
  return CALL(container_get_cert, token, container.c_str(), keySpec, certData, certLen);
}
std::int32_t DllTokenLibrary::container_get_pubkey(std::int32_t token,
                                                   const std::string& container,
                                                   std::int32_t keySpec,
                                                   std::int32_t* keyBits,
                                                   std::int32_t* exponentLength,
                                                   unsigned char* modulus,
                                                   std::int32_t* modulusLength) {
  return CALL(container_get_pubkey, token, container.c_str(), keySpec, keyBits, exponentLength,
              modulus, modulusLength);
}
std::int32_t DllTokenLibrary::helper_get_cert_info2(const unsigned char* certData,
                                                    std::int32_t certLen,
                                                    cmgr::CertInfo& info) {
  return CALL(helper_get_cert_info2, certData, certLen, info.subject, info.issuer, &info.version,
              info.serial, info.notBefore, info.notAfter, &info.kind);
}
std::int32_t DllTokenLibrary::container_addcert_to_store(const std::string& container,
                                                         const std::wstring& provider,
                                                         std::int32_t keySpec,
                                                         const unsigned char* certData,
                                                         std::int32_t certLen) {
  return CALL(container_addcert_to_store, container.c_str(), ToAnsi(provider).c_str(), keySpec,
              certData, certLen);
}
std::int32_t DllTokenLibrary::helper_add_root_cert_to_store(const std::wstring& storeName,
                                                            const unsigned char* certData,
                                                            std::int32_t certLen) {
  const std::u16string store(storeName.begin(), storeName.end());
  return CALL(helper_add_root_cert_to_store, store.c_str(), certData, certLen);
}
std::int32_t DllTokenLibrary::remove_all_certs_from_store(const std::wstring& provider) {
  return CALL(remove_all_certs_from_store, ToAnsi(provider).c_str());
}
std::int32_t DllTokenLibrary::remove_marked_certs_from_store() {
  if (loaded_ && !remove_marked_certs_from_store_)
    return kNotExported;
  return CALL(remove_marked_certs_from_store);
}
std::int32_t DllTokenLibrary::token_find_standalone_certs(std::int32_t token,
                                                          std::int32_t* handles,
                                                          std::int32_t* count) {
  return CALL(token_find_standalone_certs, token, handles, count);
}
std::int32_t DllTokenLibrary::token_get_cert(std::int32_t token,
                                             std::int32_t handle,
                                             unsigned char* certData,
                                             std::int32_t* certLen) {
  return CALL(token_get_cert, token, handle, certData, certLen);
}
std::int32_t DllTokenLibrary::token_get_pin_state(std::int32_t token,
                                                  std::int32_t pinKind,
                                                  std::int32_t* state) {
  return CALL(token_get_pin_state, token, pinKind, state);
}
std::int32_t DllTokenLibrary::token_login(std::int32_t token,
                                          const std::wstring& pin,
                                          std::int32_t* triesLeft) {
  // A PIN with a character the code page has no exact form for is never
  // passed on: the token would get a PIN the user could not type again.
  const auto secret = ToAnsiExact(pin);
  if (!secret)
    return cmgr::kArgumentsBad;
  return CALL(token_login, token, secret->c_str(), triesLeft);
}
std::int32_t DllTokenLibrary::token_logout(std::int32_t token) {
  return CALL(token_logout, token);
}
std::int32_t DllTokenLibrary::token_change_upin(std::int32_t token,
                                                const std::wstring& oldPin,
                                                const std::wstring& newPin) {
  const auto oldSecret = ToAnsiExact(oldPin), newSecret = ToAnsiExact(newPin);
  if (!oldSecret || !newSecret)
    return cmgr::kArgumentsBad;
  return CALL(token_change_upin, token, oldSecret->c_str(), newSecret->c_str());
}
