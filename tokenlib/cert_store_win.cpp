#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cert_store.h"
#include "win32/text_win.h"
#include "win32/unique_handle_win.h"

namespace tokenlib {

namespace {

// Microsoft's provider type for smart-card providers (RSA full).
constexpr DWORD kProviderType = PROV_RSA_FULL;

// The user's own registry part of a system store: where certificates are
// added, and the only part a deletion reliably reaches (Wine's collection
// view of "MY" reports deletions it does not carry out).
UniqueCertStore OpenUserStore(const wchar_t* name) {
  return UniqueCertStore(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
}

UniqueCertContext Decode(const unsigned char* data, std::int32_t length) {
  if (!data || length <= 0)
    return {};
  return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                        data, static_cast<DWORD>(length)));
}

void CopyName(CERT_NAME_BLOB blob, const CERT_CONTEXT* cert, DWORD flags, char16_t* out) {
  if (!out)
    return;
  wchar_t buffer[257] = {};
  // The simple display name (CN or the first usable part) reads best; fall
  // back to the full distinguished name.
  DWORD n = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, buffer, 257);
  if (n <= 1)
    n = CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
                       buffer, 257);
  buffer[256] = L'\0';
  for (int i = 0; i < 257; ++i) {
    out[i] = static_cast<char16_t>(buffer[i]);
    if (!buffer[i])
      break;
  }
}

void CopyDate(const FILETIME& when, std::int32_t* out) {
  if (!out)
    return;
  SYSTEMTIME st{};
  FileTimeToSystemTime(&when, &st);
  std::fill(out, out + 9, 0);
  out[0] = st.wYear;
  out[1] = st.wMonth;
  out[2] = st.wDay;
  out[3] = st.wHour;
  out[4] = st.wMinute;
  out[5] = st.wSecond;
}

bool IsCa(const CERT_CONTEXT* cert) {
  const CERT_EXTENSION* ext = CertFindExtension(
      szOID_BASIC_CONSTRAINTS2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (!ext)
    return false;
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  DWORD size = sizeof info;
  return CryptDecodeObject(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, ext->Value.pbData,
                           ext->Value.cbData, 0, &info, &size) &&
         info.fCA;
}

std::string ProviderOf(const CERT_CONTEXT* cert) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
      size < sizeof(CRYPT_KEY_PROV_INFO))
    return {};
  std::vector<BYTE> buffer(size);
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
    return {};
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  return info->pwszProvName ? ToAnsi(info->pwszProvName) : std::string();
}

}  // namespace

std::int32_t GetCertInfo(const unsigned char* data,
                         std::int32_t length,
                         char16_t* subject,
                         char16_t* issuer,
                         std::int32_t* version,
                         char* serial,
                         std::int32_t* notBefore,
                         std::int32_t* notAfter,
                         std::int32_t* kind) {
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  const CERT_INFO* info = cert->pCertInfo;
  CopyName(info->Subject, cert.get(), 0, subject);
  CopyName(info->Issuer, cert.get(), CERT_NAME_ISSUER_FLAG, issuer);
  if (version)
    *version = static_cast<std::int32_t>(info->dwVersion) + 1;
  if (serial) {
    // Stored little-endian; shown most significant byte first.
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (DWORD i = info->SerialNumber.cbData; i-- > 0;) {
      hex += digits[info->SerialNumber.pbData[i] >> 4];
      hex += digits[info->SerialNumber.pbData[i] & 15];
    }
    hex.resize(std::min<std::size_t>(hex.size(), 256));
    std::memcpy(serial, hex.c_str(), hex.size() + 1);
  }
  CopyDate(info->NotBefore, notBefore);
  CopyDate(info->NotAfter, notAfter);
  if (kind) {
    CERT_NAME_BLOB subjectName = info->Subject, issuerName = info->Issuer;
    const bool selfSigned =
        CertCompareCertificateName(X509_ASN_ENCODING, &subjectName, &issuerName) != FALSE;
    *kind = IsCa(cert.get()) ? (selfSigned ? 1 : 2) : 0;
  }
  return 0;
}

std::int32_t AddUserCertificate(const std::string& container,
                                const std::string& provider,
                                std::int32_t keySpec,
                                const unsigned char* data,
                                std::int32_t length) {
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  std::wstring containerW = FromAnsi(container), providerW = FromAnsi(provider);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = containerW.data();
  info.pwszProvName = providerW.data();
  info.dwProvType = kProviderType;
  info.dwKeySpec = static_cast<DWORD>(keySpec);
  // The link travels with the certificate into the store.
  if (!CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    return kErrStore;
  UniqueCertStore store = OpenUserStore(L"MY");
  if (!store)
    return kErrStore;
  // Replace a copy already there, whatever it was linked to.
  while (const CERT_CONTEXT* old =
             CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                        CERT_FIND_EXISTING, cert.get(), nullptr)) {
    if (!CertDeleteCertificateFromStore(old))
      return kErrStore;
  }
  return CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)
             ? 0
             : kErrStore;
}

std::int32_t AddCaCertificate(const std::u16string& storeName,
                              const unsigned char* data,
                              std::int32_t length) {
  UniqueCertContext cert = Decode(data, length);
  if (!cert)
    return kErrDecode;
  const std::wstring name(storeName.begin(), storeName.end());
  UniqueCertStore store = OpenUserStore(name.c_str());
  if (!store)
    return kErrStore;
  return CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_USE_EXISTING,
                                          nullptr)
             ? 0
             : kErrStore;
}

std::int32_t RemoveProviderCertificates(const std::string& provider) {
  UniqueCertStore store = OpenUserStore(L"MY");
  if (!store)
    return kErrStore;
  // Collect first: deleting while enumerating would end the walk early.
  std::vector<const CERT_CONTEXT*> doomed;
  const CERT_CONTEXT* cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store.get(), cert)))
    if (ProviderOf(cert) == provider)
      doomed.push_back(CertDuplicateCertificateContext(cert));
  std::int32_t status = 0;
  for (const CERT_CONTEXT* c : doomed)
    if (!CertDeleteCertificateFromStore(c))
      status = kErrStore;  // frees c either way
  return status;
}

}  // namespace tokenlib
