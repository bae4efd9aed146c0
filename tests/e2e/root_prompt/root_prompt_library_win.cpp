// CorvanexMgr.dll as Windows makes it behave when a root goes into the
// user's "ROOT" store: the system asks the user in a modal box, whose message
// loop runs the monitor's events while it is up. Every other export is the
// real library's (CorvanexMgr_real.dll beside it, forwarded by the .def file).
// "Yes" trusts the root; "No" declines it, as the user may. A root already
// in the store is not asked for again, as on Windows.
#include <windows.h>
#include <wincrypt.h>

#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "base/corvanex_mgr_abi.h"

namespace {

constexpr wchar_t kPromptCaption[] = L"Security Warning";

cmgr::helper_add_root_cert_to_store_fn RealAdd() {
  static const auto add =
      reinterpret_cast<cmgr::helper_add_root_cert_to_store_fn>(reinterpret_cast<void*>(
          GetProcAddress(LoadLibraryW(L"CorvanexMgr_real.dll"), "helper_add_root_cert_to_store")));
  return add;
}

bool AlreadyTrusted(const unsigned char* certData, int32_t certLen) {
  const CERT_CONTEXT* cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                          certData, static_cast<DWORD>(certLen));
  if (!cert)
    return false;
  bool found = false;
  if (HCERTSTORE root =
          CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"ROOT")) {
    if (const CERT_CONTEXT* existing = CertFindCertificateInStore(
            root, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr)) {
      CertFreeCertificateContext(existing);
      found = true;
    }
    CertCloseStore(root, 0);
  }
  CertFreeCertificateContext(cert);
  return found;
}

}  // namespace

CMGR_API int32_t CMGR_CALL helper_add_root_cert_to_store(const char16_t* storeName,
                                                         const unsigned char* certData,
                                                         int32_t certLen) {
  if (storeName && storeName == std::u16string_view(u"ROOT") && certData && certLen > 0) {
    // Trusted in this run: the library's own store holds it before the
    // registry does.
    static std::set<std::string> trustedNow;
    std::string der(reinterpret_cast<const char*>(certData), static_cast<std::size_t>(certLen));
    if (!trustedNow.count(der) && !AlreadyTrusted(certData, certLen)) {
      if (MessageBoxW(nullptr, L"Do you want to install this certificate?", kPromptCaption,
                      MB_YESNO | MB_ICONWARNING) != IDYES)
        return cmgr::kRootDeclined;
      trustedNow.insert(std::move(der));
    }
  }
  return RealAdd() ? RealAdd()(storeName, certData, certLen) : cmgr::kArgumentsBad;
}
