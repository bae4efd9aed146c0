#include "i18n/language.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/fake_profile.h"

namespace {

const std::wstring kExe = L"C:\\App\\";
const std::wstring kList = L"C:\\App\\Languages\\LanguageInfo.ini";
const std::wstring kUserConfig = L"C:\\Users\\u\\UserConfig.ini";

FakeProfile& AddLanguage(FakeProfileFiles& files,
                         const std::wstring& section,
                         const std::wstring& id,
                         const std::wstring& file,
                         const std::wstring& csp) {
  auto& list = files.File(kList);
  list.AddSection(section);
  if (!id.empty())
    list.Set(section, L"LanguageID", id);
  if (!file.empty())
    list.Set(section, L"LanguageFile", file);
  if (!csp.empty())
    list.Set(section, L"LanguageCSP", csp);
  return list;
}

void AddLanguageFile(FakeProfileFiles& files, const std::wstring& name, const std::wstring& title) {
  files.File(L"C:\\App\\Languages\\" + name).Set(L"Caption", L"P_MSGTitle", title);
}

}  // namespace

TEST(SelectLanguage, FirstMatchingSectionWins) {
  FakeProfileFiles files;
  AddLanguage(files, L"Chinese", L"2052", L"ZH_2052.lng", L"CorvanexE.CN.dll");
  AddLanguage(files, L"English", L"1033", L"EN_1033.lng", L"CorvanexE.EN.dll");
  AddLanguage(files, L"English2", L"1033", L"EN2.lng", L"Other.dll");
  AddLanguageFile(files, L"EN_1033.lng", L"Notice");
  AddLanguageFile(files, L"EN2.lng", L"Second");

  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, kExe, 1033, table), L"CorvanexE.EN.dll");
  EXPECT_EQ(table.P_MSGTitle, L"Notice");
}

TEST(SelectLanguage, NoMatchLoadsTheEnglishFileAndRecordsTheEnglishDll) {
  FakeProfileFiles files;
  AddLanguage(files, L"Chinese", L"2052", L"ZH_2052.lng", L"CorvanexE.CN.dll");
  AddLanguageFile(files, L"EN_1033.lng", L"Notice");
  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, kExe, 1041, table), L"CorvanexE.EN.dll");
  EXPECT_EQ(table.P_MSGTitle, L"Notice");

  // Without the English file either, the built-in texts stay.
  FakeProfileFiles bare;
  TResStrs builtIn;
  EXPECT_EQ(SelectLanguage(bare, kExe, 1033, builtIn), L"CorvanexE.EN.dll");
  EXPECT_EQ(builtIn.P_MSGTitle, L"提示");
}

TEST(SelectLanguage, MissingKeysTakeTheListDefaults) {
  FakeProfileFiles files;
  AddLanguage(files, L"Bare", L"", L"", L"");  // no LanguageID: counts as 1033
  AddLanguageFile(files, L"EN_1033.lng", L"Notice");
  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, kExe, 1033, table), L"");  // no LanguageCSP: empty
  EXPECT_EQ(table.P_MSGTitle, L"Notice");
}

TEST(SelectLanguage, NonNumericIdsAreSkipped) {
  FakeProfileFiles files;
  AddLanguage(files, L"Broken", L"10x33", L"Broken.lng", L"Broken.dll");
  AddLanguage(files, L"Empty", L"", L"", L"")
      .Set(L"Empty", L"LanguageID", L"");  // present but empty
  AddLanguage(files, L"English", L"1033", L"EN_1033.lng", L"CorvanexE.EN.dll");
  AddLanguageFile(files, L"EN_1033.lng", L"Notice");
  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, kExe, 1033, table), L"CorvanexE.EN.dll");
}

TEST(ReadLanguageList, HoldsAtMost129Entries) {
  FakeProfileFiles files;
  for (int i = 0; i < 200; ++i)
    AddLanguage(files, L"S" + std::to_wstring(i), std::to_wstring(5000 + i), L"", L"");
  TLanguageInfo list;
  EXPECT_EQ(ReadLanguageList(files, kList, list), 0);
  EXPECT_EQ(list.Count, 129);
  EXPECT_EQ(list.LanguageIDs[128], L"5128");
  EXPECT_EQ(list.LanguageNames[0], L"English");
  EXPECT_EQ(list.LanguageFiles[0], L"EN_1033.lng");
  EXPECT_EQ(FindLanguage(list, 5150), -1);
}

TEST(LoadLanguageFile, ReplacesEveryEntryAndDefaultsTheIntegers) {
  FakeProfileFiles files;
  files.File(L"x.lng")
      .Set(L"Caption", L"K_Key_Arrival", L"Token in")
      .Set(L"Caption", L"config_Cert_Del", L"0x10")
      .Set(L"Caption", L"config_Cont_Del", L"junk");
  TResStrs table;
  LoadLanguageFile(files, L"x.lng", table);
  EXPECT_EQ(table.K_Key_Arrival, L"Token in");
  EXPECT_EQ(table.P_MSGTitle, L"");  // missing key: empty, not the built-in text
  EXPECT_EQ(table.config_Cert_Del, 16);
  EXPECT_EQ(table.config_Cont_Del, 0);
  EXPECT_EQ(table.config_Cert_Output, 1);
}

TEST(SelectLanguageAfterSettings, ReloadsSettingsAndKeepsTextsWhenTheFileIsMissing) {
  FakeProfileFiles files;
  AddLanguage(files, L"Chinese", L"2052", L"ZH_2052.lng", L"CorvanexE.CN.dll");
  AddLanguage(files, L"English", L"1033", L"EN_1033.lng", L"CorvanexE.EN.dll");
  AddLanguageFile(files, L"EN_1033.lng", L"Notice");
  files.File(kUserConfig)
      .Set(L"APPConfig", L"LanguageID", L"2052")
      .Set(L"APPConfig", L"CertTips", L"1");

  TResStrs table;
  table.P_MSGTitle = L"Notice";
  TConfigInfo config{};
  config.URL = L"stale";
  SelectLanguageAfterSettings(files, kExe, kUserConfig, config, table);
  EXPECT_EQ(config, (TConfigInfo{0, L"", 0, 1, 0, 2052, 1}));
  EXPECT_EQ(table.P_MSGTitle, L"Notice");  // ZH_2052.lng is missing: texts as before

  files.File(kUserConfig).Set(L"APPConfig", L"LanguageID", L"1033");
  table.P_MSGTitle = L"changed";
  SelectLanguageAfterSettings(files, kExe, kUserConfig, config, table);
  EXPECT_EQ(table.P_MSGTitle, L"Notice");
}

TEST(StringTable, HasEveryEntryOnce) {
  EXPECT_EQ(std::size(kResTextEntries), 250u);  // 230 of the monitor, 20 of the manager
  EXPECT_EQ(std::size(kResIntEntries), 4u);
  std::set<std::wstring> keys;
  for (const auto& e : kResTextEntries)
    keys.insert(e.key);
  for (const auto& e : kResIntEntries)
    keys.insert(e.key);
  EXPECT_EQ(keys.size(), 254u);
  const TResStrs builtIn;
  EXPECT_EQ(builtIn.P_Caption, L"PKI管理工具   ");
  EXPECT_EQ(builtIn.K_ErrorCODE_Str, L" ErrorCode :String= ");
  for (const auto& e : kResTextEntries)
    EXPECT_FALSE((builtIn.*e.member).empty()) << e.key;
}

TEST(LanguageFile, AFileWithoutACaptionSectionCountsAsMissing) {
  FakeProfileFiles files;
  const std::wstring path = L"C:\\App\\Languages\\EN_1033.lng";
  files.File(path).Set(L"\xFEFF[Caption]", L"P_MSGTitle", L"unreadable");  // no readable section
  TResStrs table;
  table.P_MSGTitle = L"shown before";
  LoadLanguageFile(files, path, table);
  EXPECT_EQ(table.P_MSGTitle, L"shown before");
  EXPECT_EQ(table.PKCS11Name, L"v9arc_pkcs11.dll");
}

TEST(LanguageFile, TheNamesTheProgramActsOnKeepTheirBuiltInValues) {
  FakeProfileFiles files;
  const std::wstring path = L"C:\\App\\Languages\\XX.lng";
  files.File(path)
      .Set(L"Caption", L"PKCS11Name", L"")
      .Set(L"Caption", L"PROVIDER_NAME", L"  ")
      .Set(L"Caption", L"CallMainAppName", L"Other.exe")
      .Set(L"Caption", L"P_MSGTitle", L"Notice");
  TResStrs table;
  LoadLanguageFile(files, path, table);
  EXPECT_EQ(table.PKCS11Name, L"v9arc_pkcs11.dll");
  EXPECT_EQ(table.PROVIDER_NAME, L"Veltrox Pelkin V9Arc CSP V1.1");
  EXPECT_EQ(table.CallMainAppName, L"Other.exe");
  EXPECT_EQ(table.P_MSGTitle, L"Notice");
  EXPECT_EQ(table.K_Dead, L"");  // a missing key still leaves its text empty
}
