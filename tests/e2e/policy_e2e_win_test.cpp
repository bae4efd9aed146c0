// What administrators set by Group Policy, as the real monitor under Wine
// takes it: values in the policy keys, a later start, and the events the
// monitor reports.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "e2e_support_win_test.h"
#include "test_paths.h"
#include "base/files_win.h"
#include "base/unique_handle_win.h"
#include "tests/support/test_stores_win.h"
#include "manager/manager_form_win.h"
#include "ui/settings_dialog_win.h"

namespace {

using std::chrono::seconds;

constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Veltrox\\CorvanexE";

int CountMy() {
  return static_cast<int>(ListStore(L"MY").size());
}

class PolicyTest : public MonitorScenario {
 protected:
  void SetUp() override {
    MonitorScenario::SetUp();
    ClearPolicy();
    RemoveTree(L"C:\\KeyLog");
    CreateDirectoryW(L"C:\\KeyLog", nullptr);
    monitor.CaptureEvents();
  }
  void TearDown() override {
    ClearPolicy();
    RemoveTree(L"C:\\KeyLog");
    MonitorScenario::TearDown();
  }
  static void ClearPolicy() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kPolicyKey);
  }
  static void Set(HKEY hive, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetKeyValueW(hive, kPolicyKey, name, type, data, size), ERROR_SUCCESS) << name;
  }
  static void SetNumber(const wchar_t* name, DWORD value, HKEY hive = HKEY_LOCAL_MACHINE) {
    Set(hive, name, REG_DWORD, &value, sizeof value);
  }
  static void SetText(const wchar_t* name,
                      const std::wstring& text,
                      DWORD type = REG_SZ,
                      HKEY hive = HKEY_LOCAL_MACHINE) {
    Set(hive, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  // The virtual token's module copied into a folder of the user's: one the
  // user can write, or read-only but owned by the user (an owner may always
  // rewrite the DACL).
  void ModuleOutsideTheProgram(bool writable, std::wstring& module) {
    const std::wstring folder = modules_.path() + L"pkcs11\\";
    CreateFolderTree(folder);
    module = folder + L"vendor_pkcs11.dll";
    CopyFileW(BIN_DIR_PATH L"vtoken.dll", module.c_str(), FALSE);
    // The virtual token finds its slots beside itself.
    CopyFileW(monitor.vtokenConfig().c_str(), (folder + L"vtoken.ini").c_str(), FALSE);
    if (!writable) {
      ASSERT_TRUE(GrantUser(module, L"0x1200a9"));  // read and execute only
      ASSERT_TRUE(GrantUser(folder, L"0x1200a9"));
    }
  }
  // Sets what the signed-in user (the owner) and everyone else may do with
  // path.
  static bool GrantUser(const std::wstring& path, const std::wstring& userRights) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
      return false;
    UniqueKernelHandle owned(token);
    BYTE buffer[512];
    DWORD size = sizeof buffer;
    if (!GetTokenInformation(token, TokenUser, buffer, size, &size))
      return false;
    LPWSTR sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    const std::wstring sddl = L"O:" + std::wstring(sid) + L"D:P(A;OICI;" + userRights + L";;;" +
                              sid + L")(A;OICI;0x1200a9;;;WD)";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
      return false;
    const BOOL set = SetFileSecurityW(path.c_str(),
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      descriptor);
    LocalFree(descriptor);
    return set != FALSE;
  }
  void PlugDevice(const std::wstring& config, const std::wstring& ids) {
    RunDriver(L"plug --config \"" + config + L"\" --slot 0 --token \"" +
                  monitor.tokenFolder(L"alice") + L"\" " + ids,
              modules_.path() + L"driver.txt");
  }
  void UnplugDevice(const std::wstring& config, const std::wstring& ids) {
    RunDriver(L"unplug --config \"" + config + L"\" --slot 0 " + ids,
              modules_.path() + L"driver.txt");
  }
  // Full rights again, so that the temporary folder can go.
  void Unlock(const std::wstring& module) {
    GrantUser(module.substr(0, module.rfind(L'\\')), L"FA");
    GrantUser(module, L"FA");
  }

  TempFolder modules_;
};

}  // namespace

// Another maker's module, and that maker's device id: the language file's
// module is gone, so only the policy's can find the token. By file name, as
// its installer puts it into System32: under Wine every file's owner keeps
// the right to rewrite its DACL, so no module by full path passes the check.
TEST_F(PolicyTest, AnotherMakersModuleAndAnAddedDeviceAreServed) {
  wchar_t folder[MAX_PATH] = {};
  GetSystemDirectoryW(folder, MAX_PATH);
  const std::wstring system32 = std::wstring(folder) + L"\\";
  const std::wstring module = system32 + L"vendor_pkcs11.dll";
  ASSERT_TRUE(CopyFileW(BIN_DIR_PATH L"vtoken.dll", module.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(monitor.vtokenConfig().c_str(), (system32 + L"vtoken.ini").c_str(), FALSE));
  DeleteFileW((monitor.appDir() + L"v9arc_pkcs11.dll").c_str());
  SetText(L"Pkcs11Module", L"vendor_pkcs11.dll");
  const std::wstring ids = std::wstring(L"PID_0A1B\0VID_096E&PID_0608\0", 27);
  Set(HKEY_LOCAL_MACHINE, L"ProductIds", REG_MULTI_SZ, ids.c_str(),
      static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)));
  ASSERT_TRUE(StartWith("CertTips=0\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"));
  const std::wstring config = system32 + L"vtoken.ini";

  PlugDevice(config, L"--vid 096E --pid 0608");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 4; })) << CountMy();
  // The arrival's search runs to the end of its settling time, and would
  // find any token plugged in meanwhile: it ends first (its pass follows the
  // early look's in the log).
  EXPECT_TRUE(WaitUntil([] {
    const std::string log = DiagnosticLog();
    std::size_t passes = 0;
    for (std::size_t at = 0; (at = log.find("Mon CSP:", at)) != std::string::npos; ++at)
      ++passes;
    return passes >= 2;
  })) << DiagnosticLog();
  UnplugDevice(config, L"--vid 096E --pid 0608");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 0; })) << CountMy();
  // The same product of another vendor is not one of the tokens.
  PlugDevice(config, L"--vid 096F --pid 0608");
  EXPECT_FALSE(WaitUntil([] { return CountMy() > 0; }, seconds(5)));
  UnplugDevice(config, L"--vid 096F --pid 0608");
  End();
  DeleteFileW(module.c_str());
  DeleteFileW((system32 + L"vtoken.ini").c_str());

  const std::string events = monitor.CapturedEvents();
  EXPECT_NE(events.find("0x4000044c"), std::string::npos) << events;  // token inserted
  EXPECT_NE(events.find("0x4000044d"), std::string::npos) << events;  // registered
  EXPECT_NE(events.find("0x4000044f"), std::string::npos) << events;  // removed
  EXPECT_NE(events.find("0x400003e9"), std::string::npos) << events;  // stopped
}

// A module the user could replace would run with the user's certificates:
// refused, logged and reported; the language file's module serves instead.
// Read-only files the user owns count too: an owner may rewrite the DACL.
class ReplaceableModuleTest : public PolicyTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReplaceableModuleTest, IsRefused) {
  std::wstring module;
  ASSERT_NO_FATAL_FAILURE(ModuleOutsideTheProgram(!GetParam(), module));
  SetText(L"Pkcs11Module", module);
  ASSERT_TRUE(StartWith("CertTips=0\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"));
  monitor.Plug(0, L"alice");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 4; })) << CountMy();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 0; }));
  End();
  EXPECT_NE(DiagnosticLog().find("Policy value ignored: Pkcs11Module"), std::string::npos)
      << DiagnosticLog();
  const std::string events = monitor.CapturedEvents();
  EXPECT_NE(events.find("0x80000578"), std::string::npos) << events;
  EXPECT_NE(events.find("can be changed by the user"), std::string::npos) << events;
  Unlock(module);
}
INSTANTIATE_TEST_SUITE_P(PolicyTest,
                         ReplaceableModuleTest,
                         ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "ReadOnlyButTheUsers" : "InAWritableFolder";
                         });

// Card readers of any maker: a reader's arrival starts the search that finds
// the token in it, although the token's own device id is none we know.
TEST_F(PolicyTest, ASmartCardReaderArrivalStartsASearch) {
  SetNumber(L"WatchSmartCardReaders", 1);
  ASSERT_TRUE(StartWith("CertTips=0\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"));
  monitor.Plug(0, L"alice", L"1234");
  EXPECT_FALSE(WaitUntil([] { return CountMy() > 0; }, seconds(4)));
  TempFolder out;
  EXPECT_EQ(RunDriver(L"notify --arrival --reader", out.path() + L"n.txt"), 0);
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 4; })) << CountMy();
  monitor.Unplug(0, L"1234");
  EXPECT_EQ(RunDriver(L"notify --removal --reader", out.path() + L"n.txt"), 0);
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 0; })) << CountMy();
  End();
}

// Expired certificates left out of "MY": by the user's own setting, then by
// the administrator's, which the settings dialog shows locked and the
// manager explains.
TEST_F(PolicyTest, ExpiredCertificatesAreLeftOutByTheSettingAndThePolicyLocksIt) {
  ASSERT_TRUE(
      StartWith("CertTips=0\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"
                "SkipExpiredCertificates=1\r\n"));
  monitor.Plug(0, L"alice");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 3; })) << CountMy();  // of 4
  EXPECT_TRUE(StoreHas(L"MY", L"Alice Example (ends soon)"));
  EXPECT_FALSE(StoreHas(L"MY", L"Alice Example (expired)"));
  End();

  SetNumber(L"SkipExpiredCertificates", 1);
  ASSERT_TRUE(
      StartWith("CertTips=0\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"
                "SkipExpiredCertificates=0\r\n"));
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 3; })) << CountMy();
  EXPECT_FALSE(StoreHas(L"MY", L"Alice Example (expired)"));
  HWND dialog = OpenSettingsDialog(process);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(SendDlgItemMessageW(dialog, kSkipExpiredBox, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kSkipExpiredBox)));
  PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));

  ASSERT_TRUE(ChooseTrayMenuItem(0));
  HWND manager = nullptr;
  ASSERT_TRUE(
      WaitUntil([&] { return (manager = FindWindowW(L"TQZCorvanexE_Mgr", nullptr)) != nullptr; }));
  std::vector<std::wstring> expired;
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& row : ListViewRows(GetDlgItem(manager, TManagerForm::kCertificateList), 8))
      if (row[TManagerForm::kSubjectColumn] == L"Alice Example (expired)")
        expired = row;
    return !expired.empty();
  }));
  ASSERT_FALSE(expired.empty());
  EXPECT_EQ(expired[TManagerForm::kStageColumn], L"已过期，按设置未登记到系统");
  EXPECT_EQ(expired[TManagerForm::kInStoreColumn], L"否");
  End();  // its "CLOSE" ends the manager too
}

// The user's own file says 60 days and no warnings; the administrator's 10
// days and warnings win, are shown locked, and a save keeps the user's own.
TEST_F(PolicyTest, SettingsSetByPolicyAreUsedShownLockedAndNeverSaved) {
  SetNumber(L"CertTips", 1);
  SetNumber(L"CertDay", 10);
  ASSERT_TRUE(StartWith("CertTips=0\r\nCertDay=60\r\nLanguageID=2052\r\nDefaultPINMode=0\r\n"));
  HWND dialog = OpenSettingsDialog(process);
  ASSERT_NE(dialog, nullptr);
  wchar_t days[16] = {};
  SendDlgItemMessageW(dialog, kCertDayEdit, WM_GETTEXT, 16, reinterpret_cast<LPARAM>(days));
  EXPECT_STREQ(days, L"10");
  EXPECT_EQ(SendDlgItemMessageW(dialog, kCertTipsBox, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kCertDayEdit)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kCertTipsBox)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kDefaultPinBox)));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kPolicyHint)));
  SendMessageW(GetDlgItem(dialog, kDefaultPinBox), BM_CLICK, 0, 0);  // the user's own choice
  PostMessageW(GetDlgItem(dialog, kSaveButton), BM_CLICK, 0, 0);
  EXPECT_EQ(AnswerMessageBoxes(process, L"提示", seconds(3)),
            std::vector<std::wstring>{L"保存成功"});
  const std::string saved = ReadBytes(monitor.userDataDir() + L"UserConfig.ini");
  for (const char* line : {"CertTips=0", "CertDay=60", "DefaultPINMode=1"})
    EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;

  // Warnings within 10 days: Alice's certificate that ends soon is one.
  monitor.Plug(0, L"alice");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 4; })) << CountMy();
  const auto boxes = AnswerMessageBoxes(process, L"提示", seconds(4));
  EXPECT_FALSE(boxes.empty());
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 0; }));
  End();
}

// A change of policy while the monitor runs takes effect when Windows says so.
TEST_F(PolicyTest, APolicyChangeIsTakenWhenWindowsAnnouncesIt) {
  ASSERT_TRUE(StartWith("CertTips=0\r\nCertDay=60\r\nLanguageID=2052\r\n"));
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  SetNumber(L"CertDay", 10, HKEY_CURRENT_USER);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(main, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Policy"), SMTO_NORMAL,
                      10000, &result);
  HWND dialog = OpenSettingsDialog(process);
  ASSERT_NE(dialog, nullptr);
  wchar_t days[16] = {};
  SendDlgItemMessageW(dialog, kCertDayEdit, WM_GETTEXT, 16, reinterpret_cast<LPARAM>(days));
  EXPECT_STREQ(days, L"10");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kCertDayEdit)));
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  End();
}

// With the check off no request is made: the update log, whose first line
// follows the version fetch, never appears. With it on and no delay it does
// at once.
TEST_F(PolicyTest, UpdateCheckOffMakesNoRequest) {
  SetNumber(L"UpdateCheck", 0);
  SetNumber(L"UpdateDelayMaxSeconds", 0);
  const std::wstring updateLog = monitor.userDataDir() + L"update\\Logs.txt";
  ASSERT_TRUE(StartWith("CertTips=0\r\nLanguageID=2052\r\n"));
  EXPECT_FALSE(WaitUntil([&] { return FileExists(updateLog); }, seconds(8)));
  End();

  SetNumber(L"UpdateCheck", 1);
  ASSERT_TRUE(StartWith(""));
  EXPECT_TRUE(WaitUntil([&] { return FileExists(updateLog); }, seconds(4)));
  End();
}

// A number written as text is the administrator's mistake, not a setting.
TEST_F(PolicyTest, AWronglyTypedValueIsIgnoredWithItsLogLineAndEvent) {
  SetText(L"CertDay", L"10");
  SetNumber(L"CertTips", 7);
  ASSERT_TRUE(StartWith("CertTips=0\r\nCertDay=60\r\nLanguageID=2052\r\n"));
  HWND dialog = OpenSettingsDialog(process);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kCertTipsBox)));
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kPolicyHint)));
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  End();
  const std::string log = DiagnosticLog();
  EXPECT_NE(
      log.find("Policy value ignored: CertDay: HKLM: REG_SZ of 6 bytes where REG_DWORD is read"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("Policy value ignored: CertTips: HKLM: 7 is outside 0-1"), std::string::npos)
      << log;
  const std::string events = monitor.CapturedEvents();
  EXPECT_NE(events.find("L\"CertDay\""), std::string::npos) << events;
  EXPECT_NE(events.find("L\"CertTips\""), std::string::npos) << events;
}
