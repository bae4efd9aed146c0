#pragma once
// What the manager application shows: every present token with its PIN
// state, and each certificate on it with where it stands: its use, its
// dates, whether it is in the user's store now, and its stage by the same
// day rule as the monitor's expiry warning. Read through the token library
// in one pass; the decisions are here, the window only draws them.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "config/fixed_date.h"
#include "i18n/res_strs.h"
#include "token/token_library.h"
#include "token/token_records.h"

enum class CertStage { kValid, kEnding, kEndingThisWeek, kExpired };

struct TokenRow {
  std::wstring label;
  std::wstring serial;
  std::int32_t minPinLength = 0, maxPinLength = 0;
  bool pinKnown = false;
  PinState pin{};
};

struct CertificateRow {
  int token = 0;               // index into TokenView::tokens
  std::string container;       // as the library names it; empty for a standalone certificate
  std::wstring containerText;  // the same for people
  std::int32_t keySpec = 0;
  std::vector<std::uint8_t> der;
  std::wstring subject, issuer;
  std::string serialNumber;
  std::wstring notBeforeText, notAfterText;          // "yyyy-mm-dd"
  std::int32_t notBefore[3] = {}, notAfter[3] = {};  // year, month, day
  cmgr::CertKind kind = cmgr::kUserCertificate;
  CertStage stage = CertStage::kValid;
  bool inStore = false;
  bool leftOut = false;  // expired, and not registered because the settings say so
};

struct TokenView {
  std::vector<TokenRow> tokens;
  std::vector<CertificateRow> certificates;
};

// Whether the user's stores hold a certificate: "MY" for a user's, "ROOT" or
// "CA" for a CA's.
class CertificateStores {
 public:
  virtual ~CertificateStores() = default;
  virtual bool Holds(cmgr::CertKind kind, std::span<const std::uint8_t> der) const = 0;
};

struct ViewRules {
  int warningDays = 0;       // the settings' CertDay
  bool skipExpired = false;  // the settings' SkipExpiredCertificates
  LocalDateTime now;
};

// The library's 8-bit texts (labels, container names) as people read them.
using TokenText = std::function<std::wstring(std::string_view)>;

// Reads every token the library finds (the library started by the caller).
TokenView ReadTokenView(TokenLibrary& lib,
                        const CertificateStores& stores,
                        const ViewRules& rules,
                        const TokenText& tokenText);

// The stage of a certificate ending on notAfter (year, month, day).
CertStage StageOf(const std::int32_t notAfter[3], int warningDays, const LocalDateTime& now);

std::wstring PinStateText(const TokenRow& token, const TResStrs& strings);
std::wstring StageText(const CertificateRow& cert, int warningDays, const TResStrs& strings);
std::wstring UseText(const CertificateRow& cert, const TResStrs& strings);
// What "Copy details" puts on the clipboard: one line per field.
std::wstring DetailsText(const TokenView& view,
                         const CertificateRow& cert,
                         int warningDays,
                         const TResStrs& strings);
