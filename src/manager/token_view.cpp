#include "manager/token_view.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "i18n/safe_format.h"
#include "monitor/expiry.h"
#include "token/token_operations.h"

namespace {

// A fixed-size field of the library, up to its NUL or its end.
template <std::size_t N>
std::string_view Field(const char (&text)[N]) {
  return {text, strnlen(text, N)};
}

CertificateRow RowOf(int token, const TV9CertInfo& info, const ViewRules& rules) {
  CertificateRow row;
  row.token = token;
  const std::int32_t length = std::clamp(info.CertLen, 0, kCertDataSize);
  row.der.assign(info.CertData.begin(), info.CertData.begin() + length);
  row.subject = info.SubjectName;
  row.issuer = info.IssuerName;
  row.serialNumber = info.SerialNumber;
  row.notBeforeText = info.NotBeforeText;
  row.notAfterText = info.NotAfterText;
  std::copy(std::begin(info.NotBefore), std::end(info.NotBefore), row.notBefore);
  std::copy(std::begin(info.NotAfter), std::end(info.NotAfter), row.notAfter);
  row.kind = info.Kind;
  row.stage = StageOf(info.NotAfter, rules.warningDays, rules.now);
  return row;
}

}  // namespace

CertStage StageOf(const std::int32_t notAfter[3], int warningDays, const LocalDateTime& now) {
  const auto due = [&](int days) {
    return IsExpiryDue(notAfter[0], notAfter[1], notAfter[2], days, now).value_or(false);
  };
  if (due(0))
    return CertStage::kExpired;
  if (due(7))
    return CertStage::kEndingThisWeek;
  if (warningDays > 7 && due(warningDays))
    return CertStage::kEnding;
  return CertStage::kValid;
}

TokenView ReadTokenView(TokenLibrary& lib,
                        const CertificateStores& stores,
                        const ViewRules& rules,
                        const TokenText& tokenText) {
  TokenView view;
  std::int32_t count = 0;
  if (FindAndConnectTokens(lib, count) != 0)
    return view;
  auto cert = std::make_unique<TV9CertInfo>();  // one record for every read
  auto info = std::make_unique<TV9Info>();
  for (std::int32_t token = 0; token < std::min(count, kTokenTableSize); ++token) {
    *info = TV9Info{};
    if (ReadTokenInfo(lib, token, *info) != 0)
      continue;  // pulled while we read
    TokenRow row{tokenText(Field(info->Label)), tokenText(Field(info->Serial)),
                 info->MinPinLength(), info->MaxPinLength()};
    row.pinKnown = GetPinState(lib, token, 1, row.pin) == 0;
    const int index = static_cast<int>(view.tokens.size());
    view.tokens.push_back(std::move(row));

    if (LoadContainerNames(lib, token, *info) == 0) {
      for (std::int32_t c = 0; c < std::clamp(info->ContainerCount, 0, kMaxContainerNames); ++c) {
        for (std::int32_t keySpec : {cmgr::kExchangeKey, cmgr::kSignatureKey}) {
          if (ReadContainerCertificate(lib, token, info->ContainerNames[c], keySpec, *cert) != 0)
            continue;
          CertificateRow certificate = RowOf(index, *cert, rules);
          certificate.container = info->ContainerNames[c];
          certificate.containerText = tokenText(certificate.container);
          certificate.keySpec = keySpec;
          certificate.inStore = stores.Holds(certificate.kind, certificate.der);
          certificate.leftOut = rules.skipExpired && certificate.stage == CertStage::kExpired &&
                                certificate.kind == cmgr::kUserCertificate && !certificate.inStore;
          view.certificates.push_back(std::move(certificate));
        }
      }
    }
    std::int32_t handles[kMaxStandaloneHandles] = {};
    std::int32_t standalone = 0;
    lib.token_find_standalone_certs(token, handles, &standalone);
    for (std::int32_t i = 0; i < std::clamp(standalone, 0, kMaxStandaloneHandles); ++i) {
      if (ReadStandaloneCertificate(lib, token, handles[i], *cert) != 0)
        continue;
      CertificateRow certificate = RowOf(index, *cert, rules);
      certificate.inStore = stores.Holds(certificate.kind, certificate.der);
      view.certificates.push_back(std::move(certificate));
    }
  }
  return view;
}

std::wstring PinStateText(const TokenRow& token, const TResStrs& strings) {
  if (!token.pinKnown)
    return strings.Mgr_Pin_Unknown;
  std::wstring text;
  if (token.pin.IsLocked())
    text = strings.S_Key_Dead_Yes;
  else if (token.pin[1] == 1)  // the final try
    text = SafeFormat(strings.Login_Form_LogonCount, {1});
  else if (token.pin[0] == 1)  // count low: PKCS#11 tells no number
    text = strings.Mgr_Pin_CountLow;
  else
    text = strings.Mgr_Pin_Normal;
  if (!token.pin.IsLocked() && token.pin.IsStillDefault())
    text += L"; " + strings.Mgr_Pin_Default;
  return text;
}

std::wstring StageText(const CertificateRow& cert, int warningDays, const TResStrs& strings) {
  if (cert.leftOut)
    return strings.Mgr_Stage_LeftOut;
  switch (cert.stage) {
    case CertStage::kExpired:
      return strings.Mgr_Stage_Expired;
    case CertStage::kEndingThisWeek:
      return strings.Mgr_Stage_EndingThisWeek;
    case CertStage::kEnding:
      return SafeFormat(strings.Mgr_Stage_Ending, {warningDays});
    case CertStage::kValid:
      break;
  }
  return strings.Mgr_Stage_Valid;
}

std::wstring UseText(const CertificateRow& cert, const TResStrs& strings) {
  if (cert.kind != cmgr::kUserCertificate)
    return strings.Mgr_Use_Ca;
  return cert.keySpec == cmgr::kSignatureKey ? strings.K_Cert_mode2 : strings.K_Cert_mode1;
}

std::wstring DetailsText(const TokenView& view,
                         const CertificateRow& cert,
                         int warningDays,
                         const TResStrs& strings) {
  const auto line = [](const std::wstring& name, const std::wstring& value) {
    // A caption may end in a colon already, as the language files have it.
    std::wstring label = name;
    while (!label.empty() && (label.back() == L':' || label.back() == L'\xFF1A'))
      label.pop_back();
    return label + L": " + value + L"\r\n";
  };
  const TokenRow& token = view.tokens.at(static_cast<std::size_t>(cert.token));
  return line(strings.K_Cert_Name, cert.subject) + line(strings.K_Cert_issure, cert.issuer) +
         line(strings.K_Cert_Serial,
              std::wstring(cert.serialNumber.begin(), cert.serialNumber.end())) +
         line(strings.K_Cert_begin, cert.notBeforeText) +
         line(strings.K_Cert_End, cert.notAfterText) +
         line(strings.Mgr_Col_Use, UseText(cert, strings)) +
         line(strings.Mgr_Col_Stage, StageText(cert, warningDays, strings)) +
         line(strings.Mgr_Col_InStore, cert.inStore ? strings.Mgr_Yes : strings.Mgr_No) +
         line(strings.Mgr_Col_Token, token.label + L" (" + token.serial + L")") +
         (cert.container.empty() ? std::wstring() : line(strings.K_Cont_Name, cert.containerText));
}
