#include "tests/support/test_stores_win.h"

#include "test_paths.h"
#include "tests/support/test_files_win.h"
#include "base/text_win.h"

#include "base/unique_handle_win.h"

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

bool ImportToMy(const std::string& der,
                const std::wstring& provider,
                const std::wstring& container,
                const std::wstring& description) {
  UniqueCertStore my(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
  UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()),
                                                      static_cast<DWORD>(der.size())));
  if (!my || !cert)
    return false;
  std::wstring p = provider, c = container;
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = c.data();
  info.pwszProvName = p.data();
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = AT_KEYEXCHANGE;
  if (!provider.empty() &&
      !CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    return false;
  CRYPT_DATA_BLOB text{static_cast<DWORD>((description.size() + 1) * sizeof(wchar_t)),
                       reinterpret_cast<BYTE*>(const_cast<wchar_t*>(description.c_str()))};
  if (!description.empty() &&
      !CertSetCertificateContextProperty(cert.get(), CERT_DESCRIPTION_PROP_ID, 0, &text))
    return false;
  return CertAddCertificateContextToStore(my.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr) != FALSE;
}

void DeleteSubjectFromStore(const wchar_t* store, const std::wstring& subject) {
  for (LPCSTR kind : {CERT_STORE_PROV_SYSTEM_W, CERT_STORE_PROV_SYSTEM_REGISTRY_W}) {
    UniqueCertStore my(CertOpenStore(kind, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store));
    std::vector<const CERT_CONTEXT*> doomed;
    for (const CERT_CONTEXT* c = nullptr; (c = CertEnumCertificatesInStore(my.get(), c));) {
      wchar_t name[256] = {};
      CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
      if (subject == name)
        doomed.push_back(CertDuplicateCertificateContext(c));
    }
    for (const CERT_CONTEXT* c : doomed)
      CertDeleteCertificateFromStore(c);
  }
}

std::string TestCertificate(const char* name) {
  return ReadBytes(std::wstring(SOURCE_DIR_PATH L"tokenlib\\testdata\\certs\\") + FromAnsi(name) +
                   L".der");
}
