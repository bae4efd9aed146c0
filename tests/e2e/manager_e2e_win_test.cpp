// Our manager application with the real monitor: started from the tray,
// listing the plugged-in tokens and their certificates, following a token
// pulled out, asking the monitor to register again and hearing back, and
// ending with the monitor.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/files_win.h"
#include "e2e_support_win_test.h"
#include "manager/manager_form_win.h"
#include "test_paths.h"

namespace {

constexpr int kCertificateColumns = 8, kTokenColumns = 3;

class ManagerTest : public MonitorScenario {
 protected:
  // Bob's PIN at its final try; both tokens in.
  void StartWithAliceAndBob() {
    const std::wstring bobIni = monitor.tokenFolder(L"bob") + L"\\token.ini";
    std::string ini = ReadBytes(bobIni);
    const std::size_t at = ini.find("triesLeft=6");
    ASSERT_NE(at, std::string::npos);
    ini.replace(at, 11, "triesLeft=1");
    WriteBytes(bobIni, ini);
    ASSERT_TRUE(StartWith("LanguageID=2052\r\nCertTips=0\r\nCertDay=30\r\nDefaultPINMode=0\r\n"));
    monitor.Plug(0, L"alice");
    monitor.Plug(1, L"bob");
    ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 5; }));
  }
  // The manager, started as the user does: the tray menu's first item.
  HWND StartManager() {
    EXPECT_TRUE(ChooseTrayMenuItem(0));
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindWindowW(L"TQZCorvanexE_Mgr", nullptr)) != nullptr; });
    return window;
  }
  static std::vector<std::vector<std::wstring>> Rows(HWND manager, int list, int columns) {
    return ListViewRows(GetDlgItem(manager, list), columns);
  }
  static const std::vector<std::wstring>* Certificate(
      const std::vector<std::vector<std::wstring>>& rows,
      const std::wstring& subject) {
    const auto it = std::find_if(rows.begin(), rows.end(), [&](const auto& row) {
      return row[TManagerForm::kSubjectColumn] == subject;
    });
    return it == rows.end() ? nullptr : &*it;
  }
  static void Click(HWND manager, int button) {
    PostMessageW(GetDlgItem(manager, button), BM_CLICK, 0, 0);
  }
};

TEST_F(ManagerTest, ListsTheTokensFollowsAPullRegistersAgainAndEndsWithTheMonitor) {
  ASSERT_NO_FATAL_FAILURE(StartWithAliceAndBob());
  HWND manager = StartManager();
  ASSERT_TRUE(manager);
  DWORD pid = 0;
  GetWindowThreadProcessId(manager, &pid);
  UniqueKernelHandle managerProcess(OpenProcess(SYNCHRONIZE, FALSE, pid));

  std::vector<std::vector<std::wstring>> tokens, certificates;
  ASSERT_TRUE(WaitUntil([&] {
    tokens = Rows(manager, TManagerForm::kTokenList, kTokenColumns);
    return tokens.size() == 2;
  }));
  EXPECT_EQ(tokens[0],
            (std::vector<std::wstring>{L"Alice", L"A000000001", L"正常; 仍为出厂默认口令"}));
  EXPECT_EQ(tokens[1], (std::vector<std::wstring>{L"Bob", L"B000000002", L"剩余重试次数：1"}));

  certificates = Rows(manager, TManagerForm::kCertificateList, kCertificateColumns);
  const auto* expired = Certificate(certificates, L"Alice Example (expired)");
  const auto* soon = Certificate(certificates, L"Alice Example (ends soon)");
  const auto* current = Certificate(certificates, L"Bob Example");
  ASSERT_TRUE(expired && soon && current);
  EXPECT_EQ((*expired)[TManagerForm::kStageColumn], L"已过期");
  EXPECT_TRUE((*soon)[TManagerForm::kStageColumn] == L"30天内到期" ||
              (*soon)[TManagerForm::kStageColumn] == L"7天内到期")
      << (*soon)[TManagerForm::kStageColumn];
  EXPECT_EQ((*current)[TManagerForm::kStageColumn], L"有效");
  EXPECT_EQ((*current)[TManagerForm::kUseColumn], L"加密证书");
  EXPECT_EQ((*current)[TManagerForm::kInStoreColumn], L"是");
  EXPECT_EQ((*current)[TManagerForm::kTokenColumn], L"Bob");

  // A second start brings the first to the front and ends.
  UniqueKernelHandle second =
      StartProcess(L"\"" + monitor.appDir() + L"V9ArcPKIMgr.exe\"", monitor.appData() + L"m2.txt");
  EXPECT_EQ(InstalledMonitor::WaitForExit(second.get()), 0u);
  EXPECT_EQ(FindWindowW(L"TQZCorvanexE_Mgr", nullptr), manager);

  // Bob pulled out: Windows tells every window that asked.
  monitor.Unplug(1);
  TempFolder out;
  RunDriver(L"notify --removal --class TQZCorvanexE_Mgr", out.path() + L"n.txt");
  EXPECT_TRUE(WaitUntil(
      [&] { return Rows(manager, TManagerForm::kTokenList, kTokenColumns).size() == 1; }));
  EXPECT_FALSE(Certificate(Rows(manager, TManagerForm::kCertificateList, kCertificateColumns),
                           L"Bob Example"));

  // Out of the store behind the monitor's back: the manager sees it, asks
  // the monitor to register again, and refreshes on its "LoadCert".
  RemoveProviderCertificates();
  Click(manager, TManagerForm::kRefreshButton);
  const auto inStore = [&](const wchar_t* subject) {
    const auto rows = Rows(manager, TManagerForm::kCertificateList, kCertificateColumns);
    const auto* row = Certificate(rows, subject);
    return row ? (*row)[TManagerForm::kInStoreColumn] : std::wstring();
  };
  EXPECT_TRUE(WaitUntil([&] { return inStore(L"Alice Example") == L"否"; }));
  Click(manager, TManagerForm::kRegisterButton);
  EXPECT_TRUE(WaitUntil([&] { return inStore(L"Alice Example") == L"是"; }));

  // The monitor's "CLOSE" at logoff ends it.
  End();
  EXPECT_TRUE(InstalledMonitor::WaitForExit(managerProcess.get()));
}

}  // namespace
