// The real monitor meeting bad input: broken token contents, full tokens,
// tokens pulled in the middle of a pass, malformed device notifications, bad
// settings and language files. Each scenario ends with none of our
// certificates left and the program running or ended cleanly.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "e2e_support_win_test.h"
#include "base/shared_names.h"
#include "test_paths.h"
#include "base/files_win.h"
#include "tests/support/test_stores_win.h"

namespace {

// Whether the shell holds an icon for (window, id): a modification of
// nothing succeeds only for an icon it knows.
bool ShellHasIcon(HWND window, UINT id) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = id;
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

std::string Narrow(const std::wstring& ascii) {
  return std::string(ascii.begin(), ascii.end());
}

class FaultTest : public MonitorScenario {
 protected:
  void SetUp() override {
    MonitorScenario::SetUp();
    RemoveTree(L"C:\\KeyLog");
  }
  void TearDown() override {
    RemoveTree(L"C:\\KeyLog");
    MonitorScenario::TearDown();
  }
  // A token folder beside the demo tokens, with token.ini and files.
  std::wstring MakeToken(const std::wstring& name, const std::string& sections) {
    const std::wstring folder = monitor.tokenFolder(name) + L"\\";
    CreateFolderTree(folder);
    WriteBytes(folder + L"token.ini", "[token]\r\nlabel=" + Narrow(name) +
                                          "\r\nuserPin=12345678\r\npinIsDefault=0\r\n" + sections);
    return folder;
  }
  std::string AliceFile(const char* name) {
    return ReadBytes(monitor.tokenFolder(L"alice") + L"\\" +
                     std::wstring(name, name + strlen(name)));
  }
  // Bob's token (one user certificate) registered, then pulled out.
  void PlugBobThenPullItOut() {
    monitor.Plug(0, L"bob");
    EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }));
    monitor.Unplug(0);
    EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  }
  void EndAndExpectNothingLeft() {
    End();
    EXPECT_EQ(CountProviderCertificates(), 0);
  }
};

}  // namespace

TEST_F(FaultTest, OnlyTheReadableCertificatesOfATokenAreRegistered) {
  const std::string good = AliceFile("alice-exchange.der");
  const std::string signature = AliceFile("alice-signature.der");
  std::string random(1500, '\0');
  std::mt19937 bytes(7);
  for (char& c : random)
    c = static_cast<char>(bytes());
  std::string oversized = signature;
  oversized.resize(40000, '\0');  // more than any certificate buffer

  const std::wstring folder = MakeToken(L"broken",
                                        "[container:Good]\r\nexchange=good.der\r\n"
                                        "[container:Truncated]\r\nexchange=truncated.der\r\n"
                                        "[container:Empty]\r\nexchange=empty.der\r\n"
                                        "[container:Random]\r\nexchange=random.der\r\n"
                                        "[container:Oversized]\r\nexchange=oversized.der\r\n"
                                        "[container:Folder]\r\nexchange=folder.der\r\n");
  WriteBytes(folder + L"good.der", good);
  WriteBytes(folder + L"truncated.der", signature.substr(0, signature.size() / 2));
  WriteBytes(folder + L"empty.der", "");
  WriteBytes(folder + L"random.der", random);
  WriteBytes(folder + L"oversized.der", oversized);
  CreateFolderTree(folder + L"folder.der");

  ASSERT_TRUE(StartWith(""));
  monitor.Plug(0, L"broken");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }));
  EXPECT_TRUE(StoreHas(L"MY", L"Alice Example"));
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  EndAndExpectNothingLeft();
}

TEST_F(FaultTest, ATokenWithThreeHundredContainersRegistersWhatFitsAndSaysWhatWasLeftOut) {
  CreateDirectoryW(L"C:\\KeyLog", nullptr);
  const char* files[] = {"alice-exchange.der", "alice-signature.der", "alice-soon.der",
                         "alice-old.der"};
  std::string sections;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Full-%03d", i);
    sections += "[container:" + std::string(name) + "]\r\nexchange=" + files[i % 4] + "\r\n";
  }
  const std::wstring folder = MakeToken(L"full", sections);
  for (const char* file : files)
    WriteBytes(folder + std::wstring(file, file + strlen(file)), AliceFile(file));

  ASSERT_TRUE(StartWith(""));
  monitor.Plug(0, L"full");
  // The four certificates, each under the last of its containers registered.
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }))
      << CountProviderCertificates();
  EXPECT_TRUE(WaitUntil([] {
    return DiagnosticLog().find("> Containers left out: 235 (more than 65)\r\n") !=
           std::string::npos;
  })) << DiagnosticLog();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  EndAndExpectNothingLeft();
}

TEST_F(FaultTest, TheBigTokenPulledInTheMiddleOfAPassLeavesNothingBehind) {
  const std::wstring big = monitor.tokenFolder(L"big");
  CreateFolderTree(big);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(BIG_TOKEN_PATH L"*", &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      CopyFileW((std::wstring(BIG_TOKEN_PATH) + found.cFileName).c_str(),
                (big + L"\\" + found.cFileName).c_str(), FALSE);
  } while (FindNextFileW(find, &found));
  FindClose(find);

  ASSERT_TRUE(StartWith(""));
  std::mt19937 random(18);
  for (int round = 0; round < 20; ++round) {
    monitor.Plug(0, L"big");
    // Somewhere between before the search and the end of the pass.
    Sleep(std::uniform_int_distribution<DWORD>(0, 3500)(random));
    monitor.Unplug(0);
    ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; })) << "round " << round;
  }
  ASSERT_FALSE(InstalledMonitor::WaitForExit(process, std::chrono::milliseconds(0)));  // running
  monitor.Plug(0, L"big");
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 130; }))
      << CountProviderCertificates();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  EndAndExpectNothingLeft();
}

TEST_F(FaultTest, MalformedDeviceNotificationsAreIgnored) {
  ASSERT_TRUE(StartWith(""));
  TempFolder out;
  const int header = 12;  // dbch_size, dbch_devicetype, dbch_reserved
  const std::vector<std::wstring> malformed_ones = {L"--size 0",
                                                    L"--size 4",
                                                    L"--size " + std::to_wstring(header - 1),
                                                    L"--size " + std::to_wstring(header + 16 + 1),
                                                    L"--size 31",
                                                    L"--no-terminator"};
  for (const std::wstring& malformed : malformed_ones) {
    for (const wchar_t* kind : {L"--arrival", L"--removal"})
      EXPECT_EQ(
          RunDriver(std::wstring(L"notify ") + kind + L" " + malformed, out.path() + L"n.txt"), 0)
          << malformed;
  }
  ASSERT_FALSE(InstalledMonitor::WaitForExit(process, std::chrono::milliseconds(0)));
  // Still listening: a real plug is registered.
  PlugBobThenPullItOut();
  EndAndExpectNothingLeft();
}

TEST_F(FaultTest, GarbageSettingsAreLeftByteForByteAndTheDefaultsServe) {
  std::string garbage(3000, '\0');
  std::mt19937 bytes(3);
  for (char& c : garbage)
    c = static_cast<char>(bytes());
  CreateFolderTree(monitor.userDataDir());
  const std::wstring settings = monitor.userDataDir() + L"UserConfig.ini";
  WriteBytes(settings, garbage);

  ASSERT_TRUE(StartWith(""));
  PlugBobThenPullItOut();
  EndAndExpectNothingLeft();
  EXPECT_EQ(ReadBytes(settings), garbage);
}

TEST_F(FaultTest, AFolderWhereTheSettingsFileShouldBeStopsNothing) {
  CreateFolderTree(monitor.userDataDir() + L"UserConfig.ini\\inside");
  ASSERT_TRUE(StartWith(""));
  PlugBobThenPullItOut();
  EndAndExpectNothingLeft();
  EXPECT_TRUE(GetFileAttributesW((monitor.userDataDir() + L"UserConfig.ini\\inside").c_str()) &
              FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FaultTest, UnreadableLanguageFilesKeepTheBuiltInTextsAndTheLibraryStarts) {
  std::string random(2000, '\0');
  std::mt19937 bytes(11);
  for (char& c : random)
    c = static_cast<char>(bytes());
  const std::string utf16NoBom("[\0C\0a\0p\0t\0i\0o\0n\0]\0\r\0\n\0", 22);
  for (const std::string& bad : {std::string(), random, utf16NoBom}) {
    // The first run reads the English file, the next ones the Chinese one.
    for (const wchar_t* file : {L"CorvanexE.EN.dll", L"CorvanexE.CN.dll"})
      WriteBytes(monitor.appDir() + L"Languages\\" + file, bad);
    ASSERT_TRUE(StartWith(""));
    PlugBobThenPullItOut();
    EndAndExpectNothingLeft();
  }
}

// Explorer restarting forgets every icon and then announces "TaskbarCreated";
// the monitor must put its icon back, its certificates untouched.
TEST_F(FaultTest, TheIconComesBackWhenTheShellRestarts) {
  ASSERT_TRUE(StartWith(""));
  monitor.Plug(0, L"bob");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }));
  HWND handler = InstalledMonitor::FindProcessWindow(process, names::kTrayHandlerWindowClass);
  ASSERT_NE(handler, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ShellHasIcon(handler, names::kTrayIconId); }));

  NOTIFYICONDATAW gone{};
  gone.cbSize = sizeof gone;
  gone.hWnd = handler;
  gone.uID = names::kTrayIconId;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));  // the shell's table, lost
  ASSERT_FALSE(ShellHasIcon(handler, names::kTrayIconId));
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_NORMAL,
                      5000, &result);
  EXPECT_TRUE(WaitUntil([&] { return ShellHasIcon(handler, names::kTrayIconId); }));
  EXPECT_EQ(CountProviderCertificates(), 1);

  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  EndAndExpectNothingLeft();
}
