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

struct Verified {
  LONG status = TRUST_E_NOSIGNATURE;
  std::vector<BYTE> signer;  // the signer certificate, DER, when status is 0
};

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
  if (candidate.signer != monitor.signer)
    return {InstallerSignature::kOtherSigner, 0};
  return {InstallerSignature::kSameSigner, 0};
}
