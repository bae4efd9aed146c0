#include "update/installer_signature_win.h"

#define CERT_REVOCATION_PARA_HAS_EXTRA_FIELDS
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <vector>

#include "base/system_library_win.h"

namespace {

using VerifyFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProvDataFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using ProvSignerFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using RevocationFn = BOOL(
    WINAPI*)(DWORD, DWORD, DWORD, PVOID*, DWORD, PCERT_REVOCATION_PARA, PCERT_REVOCATION_STATUS);

// How long one revocation list may take to arrive.
constexpr DWORD kRevocationListTimeoutMs = 15000;

// Who signed a file, when its signature is valid (status 0): the signer's
// certificate, its subject and the certificate that issued it (none for a
// self-signed signer), each DER.
struct Verified {
  LONG status = TRUST_E_NOSIGNATURE;
  LONG revocation = 0;  // CRYPT_E_REVOKED, or why revocation could not be ruled out
  std::vector<BYTE> signer;
  std::vector<BYTE> subject;
  std::vector<BYTE> issuer;
};

// One publisher: the same certificate, or the same subject certified by the
// same issuing certificate, as when the publisher's certificate is renewed.
bool SamePublisher(const Verified& a, const Verified& b) {
  if (a.signer == b.signer)
    return true;
  return !a.issuer.empty() && a.issuer == b.issuer && a.subject == b.subject;
}

bool NamesRevocationList(const CERT_INFO& cert) {
  for (DWORD i = 0; i < cert.cExtension; ++i)
    if (std::strcmp(cert.rgExtension[i].pszObjId, szOID_CRL_DIST_POINTS) == 0)
      return true;
  return false;
}

// Whether a certificate of the signer's chain below its root has been
// revoked, by the revocation list each names, fetched now: 0 when none is,
// CRYPT_E_REVOKED, or the error that left it open (an unreachable list).
// A certificate that names no list leaves nothing to check.
LONG RevocationOf(const CRYPT_PROVIDER_SGNR& signer) {
  static const auto verify = SystemFunction<RevocationFn>(L"crypt32.dll", "CertVerifyRevocation");
  if (!verify)
    return CRYPT_E_NO_REVOCATION_DLL;
  for (DWORD i = 0; i + 1 < signer.csCertChain; ++i) {
    const CERT_CONTEXT* cert = signer.pasCertChain[i].pCert;
    const CERT_CONTEXT* issuer = signer.pasCertChain[i + 1].pCert;
    if (!cert || !issuer)
      return CRYPT_E_NO_REVOCATION_CHECK;
    CERT_REVOCATION_PARA para = {};
    para.cbSize = sizeof(para);
    para.pIssuerCert = issuer;
    para.dwUrlRetrievalTimeout = kRevocationListTimeoutMs;
    CERT_REVOCATION_STATUS status = {};
    status.cbSize = sizeof(status);
    PVOID contexts[] = {const_cast<CERT_CONTEXT*>(cert)};
    if (verify(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_CONTEXT_REVOCATION_TYPE, 1, contexts,
               CERT_VERIFY_REV_ACCUMULATIVE_TIMEOUT_FLAG, &para, &status))
      continue;
    if (status.dwError == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) &&
        !NamesRevocationList(*cert->pCertInfo))
      continue;
    return status.dwError ? static_cast<LONG>(status.dwError) : CRYPT_E_NO_REVOCATION_CHECK;
  }
  return 0;
}

// WinVerifyTrust on one file, without any user interface, and where asked
// the revocation of its signer's certificates.
Verified VerifyFile(const std::wstring& path, HANDLE handle, bool checkRevocation) {
  static const auto verify = SystemFunction<VerifyFn>(L"wintrust.dll", "WinVerifyTrust");
  static const auto provData =
      SystemFunction<ProvDataFn>(L"wintrust.dll", "WTHelperProvDataFromStateData");
  static const auto provSigner =
      SystemFunction<ProvSignerFn>(L"wintrust.dll", "WTHelperGetProvSignerFromChain");
  Verified result;
  if (!verify || !provData || !provSigner)
    return result;

  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  file.hFile = handle;  // read through the caller's handle where it holds one
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  result.status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  if (result.status == 0) {
    CRYPT_PROVIDER_DATA* provider = provData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? provSigner(provider, 0, FALSE, 0) : nullptr;
    if (signer && signer->csCertChain > 0 && signer->pasCertChain[0].pCert) {
      const CERT_CONTEXT* cert = signer->pasCertChain[0].pCert;
      result.signer.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
      const CERT_NAME_BLOB& subject = cert->pCertInfo->Subject;
      result.subject.assign(subject.pbData, subject.pbData + subject.cbData);
      if (signer->csCertChain > 1 && signer->pasCertChain[1].pCert) {
        const CERT_CONTEXT* issuer = signer->pasCertChain[1].pCert;
        result.issuer.assign(issuer->pbCertEncoded, issuer->pbCertEncoded + issuer->cbCertEncoded);
      }
      if (checkRevocation)
        result.revocation = RevocationOf(*signer);
    } else {
      result.status = TRUST_E_NO_SIGNER_CERT;
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

}  // namespace

InstallerSignature CheckInstallerSignature(const std::wstring& installer,
                                           HANDLE file,
                                           const std::wstring& monitorExe) {
  const Verified monitor = VerifyFile(monitorExe, nullptr, false);
  if (monitor.status != 0)
    return {InstallerSignature::kMonitorUnsigned, static_cast<std::int32_t>(monitor.status)};
  const Verified candidate = VerifyFile(installer, file, true);
  if (candidate.status != 0)
    return {InstallerSignature::kInstallerNotTrusted, static_cast<std::int32_t>(candidate.status)};
  if (!SamePublisher(candidate, monitor))
    return {InstallerSignature::kOtherSigner, 0};
  if (candidate.revocation == CRYPT_E_REVOKED)
    return {InstallerSignature::kSignerRevoked, 0};
  if (candidate.revocation != 0)
    return {InstallerSignature::kRevocationUnknown,
            static_cast<std::int32_t>(candidate.revocation)};
  return {InstallerSignature::kSameSigner, 0};
}
