#include "update/installer_signature_win.h"

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

// Who signed a file, when its signature is valid (status 0): the signer's
// certificate, its subject and the certificate that issued it (none for a
// self-signed signer), each DER.
struct Verified {
  LONG status = TRUST_E_NOSIGNATURE;
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

// WinVerifyTrust on one file, without any user interface and without
// fetching revocation lists over the network.
Verified VerifyFile(const std::wstring& path, HANDLE handle = nullptr) {
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
  const Verified monitor = VerifyFile(monitorExe);
  if (monitor.status != 0)
    return {InstallerSignature::kMonitorUnsigned, static_cast<std::int32_t>(monitor.status)};
  const Verified candidate = VerifyFile(installer, file);
  if (candidate.status != 0)
    return {InstallerSignature::kInstallerNotTrusted, static_cast<std::int32_t>(candidate.status)};
  if (!SamePublisher(candidate, monitor))
    return {InstallerSignature::kOtherSigner, 0};
  return {InstallerSignature::kSameSigner, 0};
}
