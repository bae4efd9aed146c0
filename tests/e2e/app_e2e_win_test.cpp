#include <gtest/gtest.h>

#include "e2e_support_win_test.h"
#include "base/files_win.h"

TEST(MonitorProcess, SecondStartEndsAtOnceAndTheFirstKeepsRunning) {
  InstalledMonitor monitor;
  HANDLE first = monitor.Start();
  ASSERT_NE(first, nullptr);
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);

  HANDLE second = monitor.Start();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(InstalledMonitor::WaitForExit(second), 0u);
  EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(IsWindow(main));

  monitor.EndSession(first);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(first));
}

TEST(MonitorProcess, CloseOnlyHidesUntilTheSessionEnds) {
  InstalledMonitor monitor;
  HANDLE process = monitor.Start();
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(IsWindowVisible(main));  // hidden from the start

  ShowWindow(main, SW_SHOWNORMAL);
  ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }));
  SendMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(main));
  EXPECT_FALSE(InstalledMonitor::WaitForExit(process, std::chrono::milliseconds(500)));

  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer));
  EXPECT_EQ(answer, 1u);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
}

TEST(MonitorProcess, SeedsSettingsOnceAndNeverReplacesThem) {
  InstalledMonitor monitor;
  // A first start: none of the user's files exist yet.
  DeleteFileW((monitor.userDataDir() + L"update\\ClientConfig.ini").c_str());
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.EndSession(process);
  ASSERT_TRUE(InstalledMonitor::WaitForExit(process));

  const std::wstring user = monitor.userDataDir() + L"UserConfig.ini";
  EXPECT_EQ(ReadBytes(user), ReadBytes(monitor.appDir() + L"config\\UserConfig.ini"));
  const std::string shippedUpdate = ReadBytes(monitor.appDir() + L"config\\ClientConfig.txt");
  EXPECT_EQ(ReadBytes(monitor.userDataDir() + L"update\\ClientConfig.txt"), shippedUpdate);
  EXPECT_EQ(ReadBytes(monitor.userDataDir() + L"update\\ClientConfig.ini"), shippedUpdate);

  WriteBytes(user, "[APPConfig]\r\nCertDay=7\r\n");
  process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.EndSession(process);
  ASSERT_TRUE(InstalledMonitor::WaitForExit(process));
  EXPECT_EQ(ReadBytes(user), "[APPConfig]\r\nCertDay=7\r\n");
}
