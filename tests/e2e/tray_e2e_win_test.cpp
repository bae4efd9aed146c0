#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_support_win_test.h"
#include "test_paths.h"
#include "ui/about_view_win.h"
#include "base/files_win.h"

namespace {

int Runs(const InstalledMonitor& monitor) {
  const std::string log = ReadBytes(monitor.appDir() + L"standin-runs.txt");
  return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

}  // namespace

TEST(MonitorTray, DoubleClickStartsTheManagerEachTime) {
  InstalledMonitor monitor;
  ASSERT_TRUE(CopyFileW(BIN_DIR_PATH L"manager_standin.exe",
                        (monitor.appDir() + L"V9ArcPKIMgr.exe").c_str(), FALSE));
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  TempFolder out;
  ASSERT_EQ(RunDriver(L"tray dblclick", out.path() + L"d.txt"), 0);
  EXPECT_TRUE(WaitUntil([&] { return Runs(monitor) == 1; }));
  ASSERT_EQ(RunDriver(L"tray dblclick", out.path() + L"d.txt"), 0);
  EXPECT_TRUE(WaitUntil([&] { return Runs(monitor) == 2; }));
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}

TEST(MonitorTray, RightButtonOpensTheMenuAndExitEndsTheProgram) {
  InstalledMonitor monitor;
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  TempFolder out;
  ASSERT_EQ(RunDriver(L"tray rbutton", out.path() + L"t.txt"), 0);
  HWND menu = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    menu = FindWindowW(L"#32768", nullptr);
    DWORD pid = 0;
    if (menu)
      GetWindowThreadProcessId(menu, &pid);
    return menu && IsWindowVisible(menu) && pid == GetProcessId(process);
  }));
  ASSERT_EQ(RunDriver(L"menu-choose --index 2", out.path() + L"m.txt"), 0);  // the third item, Exit
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
}

TEST(MonitorTray, AboutViewShowsTheVersionAndItsOkButtonOnlyHides) {
  InstalledMonitor monitor;
  ASSERT_TRUE(CopyFileW(BIN_DIR_PATH L"CorvanexEMon_1_0_3_12.exe",
                        (monitor.appDir() + L"CorvanexEMon.exe").c_str(), FALSE));
  HANDLE process = monitor.Start();
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  wchar_t version[64] = {};
  WaitUntil([&] { return GetDlgItemTextW(main, AboutView::kVersion, version, 64) > 0; });
  EXPECT_STREQ(version, L"1.0.3.12");

  ShowWindow(main, SW_SHOWNORMAL);
  ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }));
  SendMessageW(GetDlgItem(main, AboutView::kOkButton), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(main); }));
  EXPECT_EQ(WaitForSingleObject(process, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}
