#include "token/token_operations.h"

#include <algorithm>
#include <vector>

#include "config/fixed_names.h"
#include "i18n/safe_format.h"

namespace {

using cmgr::kContainerListSize;
using cmgr::kDateBlockSize;
using cmgr::kNameUnits;
using cmgr::kSerialSize;
constexpr int kFindCapacity = cmgr::kMaxTokens;

// UTF-16 units up to the first NUL, never past max.
std::wstring FromUtf16(const char16_t* units, std::size_t max) {
  std::wstring out;
  for (std::size_t i = 0; i < max && units[i]; ++i)
    out += static_cast<wchar_t>(units[i]);
  return out;
}

std::wstring DateText(const std::int32_t* ymd) {
  return SafeFormat(L"%.4d-%.2d-%.2d", {ymd[0], ymd[1], ymd[2]});
}

// Fills the decoded fields from the library's description of cert.CertData.
std::int32_t DecodeCertificate(TokenLibrary& lib, TV9CertInfo& cert) {
  cmgr::CertInfo info;
  const std::int32_t status = lib.helper_get_cert_info2(cert.CertData.data(), cert.CertLen, info);
  if (status != 0)
    return status;
  cert.SubjectName = FromUtf16(info.subject, kNameUnits);
  cert.IssuerName = FromUtf16(info.issuer, kNameUnits);
  cert.Version = info.version;
  cert.SerialNumber.assign(info.serial, std::find(info.serial, info.serial + kSerialSize, '\0'));
  std::copy(info.notBefore, info.notBefore + 3, cert.NotBefore);
  std::copy(info.notAfter, info.notAfter + 3, cert.NotAfter);
  cert.NotBeforeText = DateText(cert.NotBefore);
  cert.NotAfterText = DateText(cert.NotAfter);
  cert.Kind = static_cast<cmgr::CertKind>(info.kind);
  return 0;
}

// A length the library wrote, kept within the buffer it was given.
// The library's answer when the names did not all fit (CKR_BUFFER_TOO_SMALL).
constexpr std::int32_t kErrListTooLong = 0x150;

std::int32_t Clamp(std::int32_t value, std::int32_t capacity) {
  return std::clamp(value, 0, capacity);
}

}  // namespace

std::int32_t InitTokenLibrary(TokenLibrary& lib, const std::wstring& module) {
  const auto& ext = names::kExtendedInitTexts;
  if (ext[0][0] != L'\0')
    return lib.init_pkcs11_ex(ext[0], ext[1], ext[2], module);
  return lib.init_pkcs11(module);
}

std::int32_t FindAndConnectTokens(TokenLibrary& lib, std::int32_t& count) {
  std::int32_t handles[kFindCapacity] = {};
  std::int32_t n = kFindCapacity;
  const std::int32_t found = lib.token_find(handles, &n);
  if (found != 0 || n <= 0) {
    count = 0;
    return 1;
  }
  n = std::min(n, kTokenTableSize);
  std::int32_t status = 0;
  for (std::int32_t i = 0; i < n; ++i)
    status = lib.token_connect(i);
  count = n;
  return status;
}

std::int32_t ReadTokenInfo(TokenLibrary& lib, std::int32_t token, TV9Info& info) {
  return lib.token_get_info(token, info.Label, info.Manufacturer, info.Model, info.Serial,
                            info.Properties);
}

std::int32_t LoadContainerNames(TokenLibrary& lib,
                                std::int32_t token,
                                TV9Info& info,
                                ContainerOverflow* overflow) {
  std::vector<char> buffer(kContainerListSize, '\0');
  std::int32_t length = kContainerListSize;
  const std::int32_t status = lib.container_load_all(token, buffer.data(), &length);
  const bool cut = status == kErrListTooLong && length > 0;
  if (status != 0 && !cut)
    return status;
  length = Clamp(length, kContainerListSize);

  int count = 0, leftOut = 0;
  for (std::int32_t start = 0; start < length;) {
    std::int32_t end = start;
    while (end < length && buffer[end] != '\0')
      ++end;
    if (end > start) {
      if (count < kMaxContainerNames)
        info.ContainerNames[count++].assign(&buffer[start], end - start);
      else
        ++leftOut;
    }
    start = end + 1;
  }
  for (int i = count; i < kMaxContainerNames; ++i)
    info.ContainerNames[i].clear();
  info.ContainerCount = count;
  if (overflow)
    *overflow = {leftOut, cut};
  return 0;
}

std::int32_t ReadContainerCertificate(TokenLibrary& lib,
                                      std::int32_t token,
                                      const std::string& container,
                                      std::int32_t keySpec,
                                      TV9CertInfo& cert) {
  cert.CertLen = kCertDataSize;
  std::int32_t status =
      lib.container_get_cert(token, container, keySpec, cert.CertData.data(), &cert.CertLen);
  if (status != 0)
    return status;
  cert.CertLen = Clamp(cert.CertLen, kCertDataSize);
  std::int32_t bits = 0, exponent = 0, modulusLength = 0;
  unsigned char modulus[cmgr::kPubKeySize] = {};
  lib.container_get_pubkey(token, container, keySpec, &bits, &exponent, modulus, &modulusLength);
  return DecodeCertificate(lib, cert);
}

std::int32_t ReadStandaloneCertificate(TokenLibrary& lib,
                                       std::int32_t token,
                                       std::int32_t handle,
                                       TV9CertInfo& cert) {
  cert.CertLen = kCertDataSize;
  const std::int32_t status =
      lib.token_get_cert(token, handle, cert.CertData.data(), &cert.CertLen);
  if (status != 0)
    return status;
  cert.CertLen = Clamp(cert.CertLen, kCertDataSize);
  return DecodeCertificate(lib, cert);
}

std::int32_t GetPinState(TokenLibrary& lib,
                         std::int32_t token,
                         std::int32_t pinKind,
                         PinState& state) {
  state.fill(0);
  return lib.token_get_pin_state(token, pinKind, state.data());
}
