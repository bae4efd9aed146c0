#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/app_config.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "base/diagnostic_log.h"
#include "base/system_library_win.h"
#include "test_paths.h"
#include "base/files_win.h"
#include "base/text_win.h"
#include "tests/support/test_files_win.h"

TEST(AppConfigFile, NoFileGivesTheDefaults) {
  TempFolder dir;
  TConfigInfo config{};
  EXPECT_EQ(ReadAppConfig(dir.path() + L"UserConfig.ini", config), 0);
  EXPECT_EQ(config, (TConfigInfo{0, L"", 0, 0, 0, 1033, 1}));
  EXPECT_EQ(ReadConfiguredLanguageID(dir.path() + L"UserConfig.ini"), 1033);
}

TEST(AppConfigFile, ProfileRulesOfTheRealApi) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"UserConfig.ini";
  WriteBytes(file,
             "[APPConfig]\r\nCertDay=0x1E\r\nCertTips=abc\r\nLanguageID=\r\n"
             "URL=  \"  https://example.com/a b  \"  \r\nURLOpenMode=$1\r\n");
  TConfigInfo config{};
  ASSERT_EQ(ReadAppConfig(file, config), 0);
  EXPECT_EQ(config.CertDay, 30);
  EXPECT_EQ(config.CertTips, 0);
  EXPECT_EQ(config.LanguageID, 1033);
  EXPECT_EQ(config.URLOpenMode, 1);
  EXPECT_EQ(config.URL, L"  https://example.com/a b  ");  // quotes keep the blanks
}

// A section read whole answers each key as the one-key API does, whatever
// the file's quirks, in both encodings the API reads.
TEST(AppConfigFile, ASectionReadWholeAnswersAsTheOneKeyApi) {
  TempFolder dir;
  const std::string text =
      "; a comment=with an equals sign\r\n[Other]\r\nKey=other\r\n[Caption]\r\n"
      "  Spaced  =  both sides  \r\nDouble=\"  kept  \"\r\nSingle='  kept  '\r\n"
      "Mismatched=\"open\r\nInner=a \"b\" c\r\nEmpty=\r\nBare\r\nrepeated=first\r\n"
      "Repeated=second\r\nMixedCase=yes\r\nTab\t=\tvalue\t\r\nEquals=a=b\r\n"
      "Long=" +
      std::string(3000, 'x') + "\r\n;Commented=no\r\n";
  const std::vector<std::wstring> keys = {L"Spaced",    L"Double",  L"Single", L"Mismatched",
                                          L"Inner",     L"Empty",   L"Bare",   L"Repeated",
                                          L"MIXEDCASE", L"Tab",     L"Equals", L"Long",
                                          L"Commented", L"Missing", L"Key"};
  std::u16string wide;
  for (char c : text)
    wide += static_cast<char16_t>(c);
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : wide)
    utf16.append({static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)});
  for (const std::string& bytes : {text, utf16}) {
    const std::wstring file = dir.path() + L"strings.lng";
    WriteBytes(file, bytes);
    PrivateProfile profile(file);
    for (const std::wstring& key : keys) {
      wchar_t expected[kMaxProfileValue + 1] = {};
      const DWORD n =
          GetPrivateProfileStringW(L"Caption", key.c_str(), L"fallback  ", expected,
                                   static_cast<DWORD>(std::size(expected)), file.c_str());
      EXPECT_EQ(profile.ReadString(L"Caption", key, L"fallback  "), std::wstring(expected, n))
          << "key " << ToAnsi(key) << ", " << (bytes == text ? "ANSI" : "UTF-16");
    }
    // What is written is read back, not an earlier read of the section.
    ASSERT_TRUE(profile.WriteString(L"Caption", L"Double", L"new"));
    EXPECT_EQ(profile.ReadString(L"Caption", L"Double", L""), L"new");
  }
}

TEST(AppConfigFile, LongValuesAreCutAt2047) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"UserConfig.ini";
  WriteBytes(file, "[APPConfig]\r\nURL=" + std::string(5000, 'u') + "\r\n");
  TConfigInfo config{};
  ASSERT_EQ(ReadAppConfig(file, config), 0);
  EXPECT_EQ(config.URL.size(), 2047u);
}

// One line of five million characters (a broken or hostile language file):
// every other key of its section still counts, and that one is cut.
TEST(AppConfigFile, AHugeLineLeavesTheOtherKeysOfItsSection) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"EN_1033.lng";
  WriteBytes(file, "[Caption]\r\nBefore=first\r\nHuge=" + std::string(5000000, 'x') +
                       "\r\nAfter=last\r\n");
  PrivateProfile profile(file);
  EXPECT_EQ(profile.ReadString(L"Caption", L"Before", L"?"), L"first");
  EXPECT_EQ(profile.ReadString(L"Caption", L"After", L"?"), L"last");
  EXPECT_EQ(profile.ReadString(L"Caption", L"Missing", L"fallback"), L"fallback");
  EXPECT_EQ(profile.ReadString(L"Caption", L"Huge", L"?").size(), 2047u);
}

TEST(AppConfigFile, WriteThenReadRoundTrips) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"new\\UserConfig.ini";
  const TConfigInfo config{1, L"", 1, 1, 365, 2052, 0};
  EXPECT_EQ(WriteAppConfig(file, config), 1);  // the folder is missing
  CreateFolderTree(dir.path() + L"new");
  ASSERT_EQ(WriteAppConfig(file, config), 0);
  const std::string text = ReadBytes(file);
  EXPECT_NE(text.find("URL="), std::string::npos);
  EXPECT_NE(text.find("DefaultPINMode=0"), std::string::npos);
  TConfigInfo back{};
  ReadAppConfig(file, back);
  EXPECT_EQ(back, config);
}

TEST(AppConfigFile, AWriteIsAllOrNothingAndKeepsWhatElseTheFileHolds) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"UserConfig.ini";
  const std::string original =
      "; the user's notes\r\n[APPConfig]\r\nURL=keep\r\n[Other]\r\nKey=Value\r\n";
  WriteBytes(file, original);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
  const TConfigInfo config{1, L"https://example.com/", 0, 1, 30, 1033, 1};
  EXPECT_EQ(WriteAppConfig(file, config), 1);
  EXPECT_EQ(ReadBytes(file), original);  // byte for byte
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);

  ASSERT_EQ(WriteAppConfig(file, config), 0);
  const std::string text = ReadBytes(file);
  EXPECT_NE(text.find("[Other]"), std::string::npos) << text;
  EXPECT_NE(text.find("Key=Value"), std::string::npos) << text;
  TConfigInfo back{};
  ReadAppConfig(file, back);
  EXPECT_EQ(back, config);
  EXPECT_FALSE(FileExists(file + L".saving"));

  const std::wstring folderInPlace = dir.path() + L"folder.ini";
  CreateFolderTree(folderInPlace);
  EXPECT_EQ(WriteAppConfig(folderInPlace, config), 1);
}

TEST(DataFolders, CreatedUnderAppDataWithTrailingBackslash) {
  TempFolder appData;
  const std::wstring saved = GetEnv(L"APPDATA");
  SetEnvironmentVariableW(L"APPDATA", (appData.path() + L"roaming").c_str());
  const std::wstring dir = GetUserDataDir();
  const std::wstring update = GetUpdateFolder();
  SetEnvironmentVariableW(L"APPDATA", saved.c_str());

  EXPECT_EQ(dir, appData.path() + L"roaming\\Veltrox\\CorvanexE\\");
  EXPECT_EQ(update, dir + L"update\\");
  EXPECT_TRUE(FolderExists(dir));
  EXPECT_TRUE(FolderExists(update));
}

TEST(Registry, LanguageDllValueIsWrittenAndReplaced) {
  const std::wstring key = L"Software\\VeltroxTest";
  WriteLanguageCspToRegistry(key, L"CorvanexE.CN.dll");
  std::wstring value;
  ASSERT_TRUE(ReadUserRegistryString(key, names::kRegistryValueName, &value));
  EXPECT_EQ(value, L"CorvanexE.CN.dll");
  WriteLanguageCspToRegistry(key, L"");
  ASSERT_TRUE(ReadUserRegistryString(key, names::kRegistryValueName, &value));
  EXPECT_EQ(value, L"");
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

TEST(FileVersion, ReadsTheFixedVersionOrNothing) {
  EXPECT_EQ(GetFileVersionText(MONITOR_EXE_PATH), L"" MONITOR_VERSION_WTEXT);
  EXPECT_EQ(GetFileVersionText(ModuleFileName(nullptr)), L"");  // tests carry no version block
  EXPECT_EQ(GetFileVersionText(L"C:\\no\\such\\file.exe"), L"");
}

TEST(FileVersion, LongNameIsNotCutIntoAnotherFilesName) {
  TempFolder dir;
  // A versioned file whose full name is exactly 255 characters long; a name
  // that starts with it must not be read as that file.
  std::wstring folder = dir.path();
  std::wstring name = folder + std::wstring(255 - folder.size() - 4, L'v') + L".exe";
  ASSERT_EQ(name.size(), 255u);
  ASSERT_TRUE(CopyFileW(MONITOR_EXE_PATH, name.c_str(), FALSE));
  ASSERT_EQ(GetFileVersionText(name), L"" MONITOR_VERSION_WTEXT);
  EXPECT_EQ(GetFileVersionText(name + L"-but-longer"), L"");
}

class DiagnosticLogTest : public ::testing::Test {
 protected:
  void TearDown() override { RemoveTree(names::kLogFolder); }
  static std::wstring TodaysFile() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return DiagnosticLogFileName(names::kLogFolder, now.wYear, now.wMonth, now.wDay);
  }
};

TEST_F(DiagnosticLogTest, WritesOnlyWhileTheFolderExists) {
  RemoveTree(names::kLogFolder);
  WriteDiagnosticLog(L"Mon CSP:first");
  EXPECT_FALSE(FolderExists(names::kLogFolder));

  ASSERT_TRUE(CreateDirectoryW(names::kLogFolder, nullptr));
  WriteDiagnosticLog(L"Mon CSP:one");
  WriteDiagnosticLog(L"Mon CSP:two");
  const std::string text = ReadBytes(TodaysFile());
  EXPECT_NE(text.find("> Mon CSP:one\r\n"), std::string::npos);
  EXPECT_NE(text.find("> Mon CSP:two\r\n"), std::string::npos);
  EXPECT_LT(text.find("one"), text.find("two"));
}

TEST_F(DiagnosticLogTest, ReadOnlyFileChangesNothing) {
  ASSERT_TRUE(CreateDirectoryW(names::kLogFolder, nullptr));
  WriteBytes(TodaysFile(), "kept\r\n");
  SetFileAttributesW(TodaysFile().c_str(), FILE_ATTRIBUTE_READONLY);
  WriteDiagnosticLog(L"Mon CSP:lost");
  EXPECT_EQ(ReadBytes(TodaysFile()), "kept\r\n");
}

// A system DLL's function that cannot be bound (an older Windows) is told
// once, however often it is asked for.
TEST_F(DiagnosticLogTest, AnUnboundSystemFunctionIsToldOnce) {
  ASSERT_TRUE(CreateDirectoryW(names::kLogFolder, nullptr));
  using Fn = void (*)();
  EXPECT_EQ(SystemFunction<Fn>(L"crypt32.dll", "CertNoSuchFunction"), nullptr);
  EXPECT_EQ(SystemFunction<Fn>(L"crypt32.dll", "CertNoSuchFunction"), nullptr);
  EXPECT_EQ(SystemFunction<Fn>(L"nosuchlibrary.dll", "Anything"), nullptr);
  EXPECT_NE(SystemFunction<Fn>(L"crypt32.dll", "CertOpenStore"), nullptr);
  const std::string text = ReadBytes(TodaysFile());
  const std::string line = "> Not bound: crypt32.dll!CertNoSuchFunction (error 127)\r\n";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.find(line), text.rfind(line));
  EXPECT_NE(text.find("> Not bound: nosuchlibrary.dll!Anything (error 126)"), std::string::npos);
  EXPECT_EQ(text.find("CertOpenStore"), std::string::npos);
}
