#include "config/app_config.h"

#include <gtest/gtest.h>

#include "testing/fake_profile.h"
#include "config/fixed_date.h"
#include "base/diagnostic_log.h"

TEST(ParseProfileInt, DecimalWithSign) {
  EXPECT_EQ(ParseProfileInt(L"30", 7), 30);
  EXPECT_EQ(ParseProfileInt(L"+30", 7), 30);
  EXPECT_EQ(ParseProfileInt(L"-30", 7), -30);
  EXPECT_EQ(ParseProfileInt(L"2147483647", 7), 2147483647);
  EXPECT_EQ(ParseProfileInt(L"-2147483648", 7), -2147483647 - 1);
}

TEST(ParseProfileInt, HexadecimalPrefixes) {
  EXPECT_EQ(ParseProfileInt(L"0x1E", 7), 30);
  EXPECT_EQ(ParseProfileInt(L"0X1e", 7), 30);
  EXPECT_EQ(ParseProfileInt(L"$1E", 7), 30);
  EXPECT_EQ(ParseProfileInt(L"-$10", 7), -16);
  EXPECT_EQ(ParseProfileInt(L"0xFFFFFFFF", 7), -1);  // the whole 32-bit pattern
}

TEST(ParseProfileInt, JunkAndOverflowGiveTheDefault) {
  for (const wchar_t* junk :
       {L"", L"abc", L"12abc", L" 12", L"0x", L"$", L"-", L"1.5", L"2147483648", L"-2147483649",
        L"0x100000000", L"99999999999999999999999"})
    EXPECT_EQ(ParseProfileInt(junk, 7), 7) << junk;
}

TEST(ProfileSection, KeysAndValuesFollowTheOneKeyRules) {
  using namespace std::string_literals;
  const ProfileSection section(
      L" Name = value \0Quoted=\" a \"\0Single=' b '\0Half=\"c\0name=second\0Bare\0"
      L"Equals=x=y\0"s);
  EXPECT_EQ(section.Find(L"name"), L"value");  // any case; the first of two counts
  EXPECT_EQ(section.Find(L"Quoted"), L" a ");
  EXPECT_EQ(section.Find(L"Single"), L" b ");
  EXPECT_EQ(section.Find(L"Half"), L"\"c");
  EXPECT_EQ(section.Find(L"Bare"), std::nullopt);  // no value: no key
  EXPECT_EQ(section.Find(L"Equals"), L"x=y");
  EXPECT_EQ(section.Find(L"Missing"), std::nullopt);
  EXPECT_EQ(ProfileSection(std::wstring(L"Long=") + std::wstring(5000, L'v')).Find(L"Long")->size(),
            kMaxProfileValue);
  EXPECT_EQ(ProfileSection(L"").Find(L"Name"), std::nullopt);
}

TEST(AppConfig, MissingFileGivesEveryDefault) {
  FakeProfile empty;
  TConfigInfo config{};
  config.URL = L"left over";
  EXPECT_EQ(ReadAppConfigFrom(empty, config), 0);
  EXPECT_EQ(config, (TConfigInfo{0, L"", 0, 0, 0, 1033, 1}));
}

TEST(AppConfig, ValuesAreReadWithTheirRules) {
  FakeProfile file;
  file.Set(L"APPConfig", L"URLOpenMode", L"1")
      .Set(L"appconfig", L"URL", L"https://intranet.example/")
      .Set(L"APPConfig", L"CertDay", L"0x1E")
      .Set(L"APPConfig", L"CertTips", L"abc")
      .Set(L"APPConfig", L"LanguageID", L"")
      .Set(L"APPConfig", L"DefaultPINMode", L"0");
  TConfigInfo config{};
  ASSERT_EQ(ReadAppConfigFrom(file, config), 0);
  EXPECT_EQ(config, (TConfigInfo{1, L"https://intranet.example/", 0, 0, 30, 1033, 0, 0}));
}

TEST(AppConfig, WriteStoresAllKeysAndStopsAtTheFirstFailure) {
  FakeProfile file;
  const TConfigInfo config{1, L"", 2, 1, 365, 2052, 0, 1};
  ASSERT_EQ(WriteAppConfigTo(file, config), 0);
  EXPECT_EQ(file.writes, 8);
  EXPECT_EQ(file.ReadString(L"APPConfig", L"URL", L"missing"), L"");
  TConfigInfo back{};
  ReadAppConfigFrom(file, back);
  EXPECT_EQ(back, config);

  FakeProfile failing;
  failing.failWritesAfter = 3;
  EXPECT_EQ(WriteAppConfigTo(failing, config), 1);
  EXPECT_EQ(failing.writes, 3);  // the keys before the failure stay written
}

TEST(StrToFixedDateTime, ReadsTheFixedFormat) {
  auto t = StrToFixedDateTime(L"2027/03/05 00:00:00");
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, (LocalDateTime{2027, 3, 5, 0, 0, 0}));
  EXPECT_EQ(StrToFixedDateTime(L"2024/02/29 23:59:58"), (LocalDateTime{2024, 2, 29, 23, 59, 58}));
  EXPECT_EQ(StrToFixedDateTime(L"2027/3/5"), (LocalDateTime{2027, 3, 5, 0, 0, 0}));
  EXPECT_LT(*StrToFixedDateTime(L"2027/03/04 23:59:59"), *t);
}

TEST(StrToFixedDateTime, RejectsOtherFormatsAndImpossibleDates) {
  for (const wchar_t* bad : {L"", L"05.03.2027", L"2027-03-05", L"03/05/2027", L"2027/13/01",
                             L"2023/02/29", L"2027/04/31", L"2027/03/05 24:00:00",
                             L"2027/03/05 10:60:00", L"2027/03/05 10:00:00 x", L"27/03/05"})
    EXPECT_FALSE(StrToFixedDateTime(bad)) << bad;
}

TEST(MonitorLog, FileNameAndLineFormat) {
  EXPECT_EQ(DiagnosticLogFileName(L"C:\\KeyLog", 2027, 3, 5), L"C:\\KeyLog\\QZ_MonLog20270305.txt");
  EXPECT_EQ(DiagnosticLogLine(L"14:05:09", L"Mon CSP:X"), L"14:05:09> Mon CSP:X\r\n");
}

TEST(AppConfigRecord, AnAddressWithBlanksOrItsOwnQuotesReadsBackUnchanged) {
  for (const std::wstring url : {L"  spaced  ", L"\"quoted\"", L"'single'", L"\"half", L"plain"}) {
    FakeProfile file;
    TConfigInfo config{};
    config.URL = url;
    ASSERT_EQ(WriteAppConfigTo(file, config), 0);
    TConfigInfo back{};
    ReadAppConfigFrom(file, back);
    EXPECT_EQ(back.URL, url);
  }
}
