#include "win32/test_stores_win_test.h"

#include "win32/unique_handle_win.h"

std::vector<StoredCert> ListStore(const wchar_t* name) {
  std::vector<StoredCert> out;
  UniqueCertStore store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
  if (!store)
    return out;
  const CERT_CONTEXT* c = nullptr;
  while ((c = CertEnumCertificatesInStore(store.get(), c))) {
    StoredCert s;
    wchar_t subject[256] = {};
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    s.subject = subject;
    SYSTEMTIME end{};
    FileTimeToSystemTime(&c->pCertInfo->NotAfter, &end);
    wchar_t date[16] = {};
    swprintf(date, 16, L"%04u-%02u-%02u", end.wYear, end.wMonth, end.wDay);
    s.ends = date;
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
      std::vector<BYTE> buffer(size);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
      auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
      s.container = info->pwszContainerName ? info->pwszContainerName : L"";
      s.provider = info->pwszProvName ? info->pwszProvName : L"";
      s.keySpec = info->dwKeySpec;
    }
    out.push_back(s);
  }
  return out;
}
