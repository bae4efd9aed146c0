#include "manager/token_view.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/fake_token_library.h"

namespace {

class StoreHolding : public CertificateStores {
 public:
  std::set<std::string> held;  // DER as text
  bool Holds(cmgr::CertKind, std::span<const std::uint8_t> der) const override {
    return held.count(std::string(der.begin(), der.end())) != 0;
  }
};

std::wstring AsText(std::string_view text) {
  return {text.begin(), text.end()};
}

constexpr LocalDateTime kNow{2026, 12, 10, 12, 0, 0};

TEST(CertificateStage, TheMonitorsDayRuleDecidesEachStage) {
  struct Case {
    std::int32_t end[3];
    int warningDays;
    CertStage stage;
  } cases[] = {
      {{2026, 12, 10}, 30, CertStage::kExpired},  // ended at midnight today
      {{2025, 1, 1}, 30, CertStage::kExpired},
      {{2026, 12, 11}, 30, CertStage::kEndingThisWeek},
      {{2026, 12, 17}, 30, CertStage::kEndingThisWeek},  // 6.5 days ahead
      {{2026, 12, 18}, 30, CertStage::kEnding},
      {{2027, 1, 9}, 30, CertStage::kEnding},
      {{2027, 1, 10}, 30, CertStage::kValid},
      {{2026, 12, 18}, 7, CertStage::kValid},  // no warning beyond the week asked for
      {{2026, 12, 18}, 0, CertStage::kValid},
      {{2026, 2, 30}, 30, CertStage::kValid},  // not a date: no stage to claim
  };
  for (const Case& c : cases)
    EXPECT_EQ(StageOf(c.end, c.warningDays, kNow), c.stage)
        << c.end[0] << "-" << c.end[1] << "-" << c.end[2] << " warning " << c.warningDays;
}

TEST(TokenView, EachTokensCertificatesAreListedWithUseStoreAndStage) {
  FakeTokenLibrary lib;
  FakeTokenLibrary::Token alice;
  alice.label = "Alice";
  alice.serial = "A1";
  alice.containerList = std::string("Keys\0Old\0", 9);
  alice.containerCerts[{"Keys", 1}] = {"alice-x", u"CN=Alice", 0, {2030, 1, 1}};
  alice.containerCerts[{"Keys", 2}] = {"alice-s", u"CN=Alice", 0, {2026, 12, 20}};
  alice.containerCerts[{"Old", 1}] = {"alice-old", u"CN=Alice", 0, {2025, 6, 1}};
  alice.standalone = {{"root", u"CN=Root", 1, {2040, 1, 1}}};
  alice.pinState[5] = 1;  // still the default
  FakeTokenLibrary::Token bob;
  bob.label = "Bob";
  bob.pinState[1] = 1;  // final try
  lib.tokens = {alice, bob};
  StoreHolding stores;
  stores.held = {"alice-x", "alice-s", "root"};

  const TokenView view = ReadTokenView(lib, stores, {30, true, kNow}, AsText);
  ASSERT_EQ(view.tokens.size(), 2u);
  EXPECT_EQ(view.tokens[0].label, L"Alice");
  EXPECT_EQ(view.tokens[0].serial, L"A1");
  ASSERT_EQ(view.certificates.size(), 4u);
  const TResStrs strings;
  struct Expected {
    const char* der;
    const wchar_t* use;
    bool inStore;
    CertStage stage;
    bool leftOut;
  } expected[] = {
      {"alice-x", L"加密证书", true, CertStage::kValid, false},
      {"alice-s", L"签名证书", true, CertStage::kEnding, false},
      {"alice-old", L"加密证书", false, CertStage::kExpired, true},
      {"root", L"CA证书", true, CertStage::kValid, false},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const CertificateRow& row = view.certificates[i];
    EXPECT_EQ(std::string(row.der.begin(), row.der.end()), expected[i].der);
    EXPECT_EQ(UseText(row, strings), expected[i].use) << expected[i].der;
    EXPECT_EQ(row.inStore, expected[i].inStore) << expected[i].der;
    EXPECT_EQ(row.stage, expected[i].stage) << expected[i].der;
    EXPECT_EQ(row.leftOut, expected[i].leftOut) << expected[i].der;
    EXPECT_EQ(row.token, 0);
  }
  EXPECT_EQ(StageText(view.certificates[1], 30, strings), L"30天内到期");
  EXPECT_EQ(StageText(view.certificates[2], 30, strings), L"已过期，按设置未登记到系统");

  // Without the option an expired certificate is only expired.
  const TokenView plain = ReadTokenView(lib, stores, {30, false, kNow}, AsText);
  EXPECT_FALSE(plain.certificates[2].leftOut);
  EXPECT_EQ(StageText(plain.certificates[2], 30, strings), L"已过期");

  const std::wstring details = DetailsText(view, view.certificates[1], 30, strings);
  EXPECT_NE(details.find(L"颁发者: "), std::wstring::npos) << details;
  EXPECT_NE(details.find(L"容器名称: Keys\r\n"), std::wstring::npos) << details;
  EXPECT_NE(details.find(L"USBKey: Alice (A1)\r\n"), std::wstring::npos) << details;
}

TEST(TokenView, PinStatesSayWhatTheModuleTold) {
  const TResStrs strings;
  struct Case {
    bool known;
    std::array<std::int32_t, 6> state;
    const wchar_t* text;
  } cases[] = {
      {false, {}, L"未知"},
      {true, {}, L"正常"},
      {true, {1, 0, 0, 0, 0, 0}, L"口令已多次输错，剩余重试次数不多"},
      {true, {1, 1, 0, 0, 0, 0}, L"剩余重试次数：1"},
      {true, {0, 0, 0, 0, 1, 1}, L"已锁死"},
      {true, {0, 0, 0, 0, 0, 1}, L"正常; 仍为出厂默认口令"},
  };
  for (const Case& c : cases) {
    TokenRow token;
    token.pinKnown = c.known;
    std::copy(c.state.begin(), c.state.end(), token.pin.begin());
    EXPECT_EQ(PinStateText(token, strings), c.text);
  }
}

TEST(TokenView, NoTokenOrAFailedSearchIsAnEmptyView) {
  FakeTokenLibrary lib;
  StoreHolding stores;
  EXPECT_TRUE(ReadTokenView(lib, stores, {}, AsText).tokens.empty());
  lib.tokens.resize(1);
  lib.findStatus = 0x30;
  EXPECT_TRUE(ReadTokenView(lib, stores, {}, AsText).tokens.empty());
}

}  // namespace
