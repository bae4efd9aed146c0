#include "ui/settings_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

TLanguageInfo Languages() {
  TLanguageInfo list;
  const wchar_t* rows[][3] = {{L"2052", L"简体中文", L"CorvanexE.CN.dll"},
                              {L"zh", L"Broken", L"Broken.dll"},
                              {L"1033", L"English", L"CorvanexE.EN.dll"}};
  for (const auto& row : rows) {
    list.LanguageIDs[list.Count] = row[0];
    list.LanguageNames[list.Count] = row[1];
    list.LanguageCSPs[list.Count] = row[2];
    ++list.Count;
  }
  return list;
}

TConfigInfo Stored() {
  TConfigInfo c{};
  c.URLOpenMode = 1;
  c.URL = L"https://intranet.example/";
  c.BrowserMode = 1;
  c.CertTips = 2;
  c.CertDay = 30;
  c.LanguageID = 1033;
  c.DefaultPINMode = 1;
  return c;
}

}  // namespace

TEST(SettingsForm, LoadShowsTheFileAndSkipsLanguagesWithoutANumber) {
  const SettingsControls c = LoadSettingsControls(true, Stored(), Languages());
  EXPECT_TRUE(c.openUrl);
  EXPECT_EQ(c.url, L"https://intranet.example/");
  EXPECT_TRUE(c.internetExplorer);
  EXPECT_TRUE(c.certTips);  // 2 shows ticked
  EXPECT_EQ(c.certDay, L"30");
  EXPECT_TRUE(c.defaultPin);
  EXPECT_THAT(c.languageNames, ElementsAre(L"简体中文", L"English"));
  EXPECT_EQ(c.selectedLanguage, 1);

  TConfigInfo unknown = Stored();
  unknown.LanguageID = 1041;
  EXPECT_EQ(LoadSettingsControls(true, unknown, Languages()).selectedLanguage, -1);

  const SettingsControls unread = LoadSettingsControls(false, Stored(), Languages());
  EXPECT_FALSE(unread.openUrl || unread.certTips || unread.defaultPin || unread.internetExplorer);
  EXPECT_EQ(unread.certDay, L"0");
  EXPECT_EQ(unread.selectedLanguage, -1);
}

TEST(SettingsForm, SaveBuildsTheRecordAsTheControlsShowIt) {
  SettingsControls c = LoadSettingsControls(true, Stored(), Languages());
  c.selectedLanguage = 0;
  auto saved = BuildSettingsToSave(c, Languages(), Stored());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->record.CertTips, 1);  // a stored 2 is saved as 1
  EXPECT_EQ(saved->record.LanguageID, 2052);
  EXPECT_EQ(saved->languageCsp, L"CorvanexE.CN.dll");
  EXPECT_EQ(saved->record.BrowserMode, 1);
  EXPECT_EQ(saved->record.SkipExpiredCertificates, 0);
  // Only the exact 1 of a file shows ticked; ticked saves 1.
  for (const auto& [stored, ticked] : {std::pair{1, true}, {2, false}, {0, false}}) {
    TConfigInfo file = Stored();
    file.SkipExpiredCertificates = stored;
    EXPECT_EQ(LoadSettingsControls(true, file, Languages()).skipExpired, ticked) << stored;
  }
  c.skipExpired = true;
  EXPECT_EQ(BuildSettingsToSave(c, Languages(), Stored())->record.SkipExpiredCertificates, 1);
  c.skipExpired = false;

  c.url = L"   ";  // blanks count as filled, and are saved as nothing
  saved = BuildSettingsToSave(c, Languages(), Stored());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->record.URLOpenMode, 1);
  EXPECT_EQ(saved->record.URL, L"");

  c.url.clear();
  EXPECT_FALSE(BuildSettingsToSave(c, Languages(), Stored()));  // the address is missing

  c.openUrl = false;
  c.url = L"https://kept.example/";
  saved = BuildSettingsToSave(c, Languages(), Stored());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->record.URLOpenMode, 0);
  EXPECT_EQ(saved->record.URL, L"");
}

TEST(SettingsForm, DaysAreBroughtIntoRangeAndNoLanguageKeepsTheStoredOne) {
  SettingsControls c = LoadSettingsControls(true, Stored(), Languages());
  c.selectedLanguage = -1;
  for (const auto& [typed, days] : std::vector<std::pair<std::wstring, int>>{
           {L"400", 365}, {L"99999999999", 365}, {L"-3", 0}, {L"", 0}, {L"12", 12}}) {
    c.certDay = typed;
    const auto saved = BuildSettingsToSave(c, Languages(), Stored());
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->record.CertDay, days) << std::string(typed.begin(), typed.end());
    EXPECT_EQ(saved->record.LanguageID, 1033);
    EXPECT_FALSE(saved->languageCsp);
  }
}
