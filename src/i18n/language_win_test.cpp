#include "i18n/language_win.h"

#include <gtest/gtest.h>

#include "test_paths.h"
#include "base/files_win.h"
#include "tests/support/test_files_win.h"

namespace {

TResStrs LoadFile(const std::wstring& path) {
  WinProfileFiles files;
  TResStrs table;
  LoadLanguageFile(files, path, table);
  return table;
}

}  // namespace

TEST(LanguageFileOnDisk, QuotesKeepBlanksAndMissingKeysAreEmpty) {
  TempFolder dir;
  WriteUtf16File(dir.path() + L"t.lng",
                 L"[Caption]\r\nP_Caption=\"PKI Manager   \"\r\nK_ErrorCODE_Str=' Code: '\r\n"
                 L"K_Key_Arrival=   USBKey inserted   \r\nFontSize=8\r\n"
                 L"[Other]\r\nP_MSGTitle=ignored\r\n");
  const TResStrs table = LoadFile(dir.path() + L"t.lng");
  EXPECT_EQ(table.P_Caption, L"PKI Manager   ");
  EXPECT_EQ(table.K_ErrorCODE_Str, L" Code: ");
  EXPECT_EQ(table.K_Key_Arrival, L"USBKey inserted");
  EXPECT_EQ(table.P_MSGTitle, L"");  // only section "Caption" counts
  EXPECT_EQ(table.config_Cert_Output, 1);
  EXPECT_EQ(table.config_Cert_Del, 0);
}

TEST(LanguageFileOnDisk, Utf16AndEightBitFilesBothLoad) {
  TempFolder dir;
  WriteUtf16File(dir.path() + L"zh.lng", L"[Caption]\r\nK_Key_Arrival=USBKey已插入\r\n");
  WriteBytes(dir.path() + L"en.lng", "[Caption]\r\nK_Key_Arrival=USBKey inserted\r\n");
  EXPECT_EQ(LoadFile(dir.path() + L"zh.lng").K_Key_Arrival, L"USBKey已插入");
  EXPECT_EQ(LoadFile(dir.path() + L"en.lng").K_Key_Arrival, L"USBKey inserted");
}

TEST(LanguageFileOnDisk, MissingFileLeavesTheTableAlone) {
  TempFolder dir;
  EXPECT_EQ(LoadFile(dir.path() + L"none.lng").P_MSGTitle, L"提示");
}

TEST(LanguageListOnDisk, ManySectionsNeverOverrunTheList) {
  TempFolder dir;
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += "[L" + std::to_string(i) + "]\r\nLanguageID=" + std::to_string(4000 + i) + "\r\n";
  WriteBytes(dir.path() + L"LanguageInfo.ini", text);
  WinProfileFiles files;
  TLanguageInfo list;
  EXPECT_EQ(ReadLanguageList(files, dir.path() + L"LanguageInfo.ini", list), 0);
  EXPECT_EQ(list.Count, 129);
  EXPECT_EQ(list.LanguageIDs[0], L"4000");
  EXPECT_EQ(list.LanguageIDs[128], L"4128");
}

TEST(ShippedLanguages, ChineseFileHoldsTheBuiltInTextsAndTranslatesTheStatusTexts) {
  const TResStrs builtIn;
  const TResStrs chinese = LoadFile(PRODUCT_DIR_PATH L"Languages\\ZH_2052.lng");
  int translated = 0;
  for (const auto& e : kResTextEntries) {
    // The manager's status texts are English in the table: the file says
    // them in Chinese, and no Latin letter is left.
    if (std::wstring_view(e.key).starts_with(L"IDS_STRING_UKEY_MESSAGE_")) {
      const std::wstring& text = chinese.*e.member;
      EXPECT_FALSE(text.empty()) << e.key;
      EXPECT_EQ(text.find_first_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
                std::wstring::npos)
          << e.key;
      EXPECT_NE(text, builtIn.*e.member) << e.key;
      ++translated;
      continue;
    }
    EXPECT_EQ(chinese.*e.member, builtIn.*e.member) << e.key;
  }
  EXPECT_EQ(translated, 9);
  for (const auto& e : kResIntEntries)
    EXPECT_EQ(chinese.*e.member, e.readDefault) << e.key;
}

TEST(ShippedLanguages, EnglishFileIsCompleteAndChosenForEnglish) {
  WinProfileFiles files;
  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, PRODUCT_DIR_PATH, 1033, table), L"CorvanexE.EN.dll");
  for (const auto& e : kResTextEntries)
    EXPECT_FALSE((table.*e.member).empty()) << e.key;
  EXPECT_EQ(table.P_Caption, L"PKI Manager   ");
  EXPECT_EQ(table.K_ErrorCODE_Str, L" ErrorCode :String= ");
  EXPECT_EQ(table.K_Key_Arrival, L"USBKey inserted");

  TResStrs chinese;
  EXPECT_EQ(SelectLanguage(files, PRODUCT_DIR_PATH, 2052, chinese), L"CorvanexE.CN.dll");
  EXPECT_EQ(chinese.K_Key_Arrival, L"USBKey已插入");
}

TEST(ShippedLanguages, NoLanguagesFolderKeepsTheBuiltInTexts) {
  TempFolder dir;
  WinProfileFiles files;
  TResStrs table;
  EXPECT_EQ(SelectLanguage(files, dir.path(), 1033, table), L"CorvanexE.EN.dll");
  EXPECT_EQ(table.K_Key_Arrival, L"USBKey已插入");
}
