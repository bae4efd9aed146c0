// The advanced settings dialog through the tray menu of the real program.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support_win_test.h"
#include "ui/about_view_win.h"
#include "ui/settings_dialog_win.h"
#include "tests/support/test_stores_win.h"

namespace {

using std::chrono::seconds;

class SettingsTest : public MonitorScenario {
 protected:
  void SetUp() override {
    MonitorScenario::SetUp();
    monitor.WriteUserSettings("CertTips=0\r\nDefaultPINMode=0\r\nLanguageID=2052\r\n");
  }
  std::wstring SettingsFile() const { return monitor.userDataDir() + L"UserConfig.ini"; }

  void StartMonitor() { ASSERT_TRUE(StartWith("")); }
  // The tray menu's second item, as a user would choose it.
  HWND OpenDialog() { return OpenSettingsDialog(process); }
  static void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
  static void SetText(HWND dialog, int id, const wchar_t* text) {
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  }
  static std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
  }
  // A control of another process answers only when asked by message.
  static std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[256] = {};
    SendDlgItemMessageW(dialog, id, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
    return text;
  }
};

}  // namespace

TEST_F(SettingsTest, SavingWritesEveryControlAndTheLanguageTakesEffectAtOnce) {
  StartMonitor();
  HWND main = monitor.WaitForMainWindow();
  EXPECT_EQ(TextOf(main), L"关于");
  HWND dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(TextOf(dialog), L"高级设置");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kUrlEdit)));
  Click(dialog, kOpenUrlBox);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kUrlEdit)));
  SetText(dialog, kUrlEdit, L"  https://portal.example/  ");
  Click(dialog, kExplorerRadio);
  Click(dialog, kCertTipsBox);
  SetText(dialog, kCertDayEdit, L"400");
  Click(dialog, kDefaultPinBox);
  ASSERT_EQ(SendDlgItemMessageW(dialog, kLanguageList, CB_GETCOUNT, 0, 0), 2);
  SendDlgItemMessageW(dialog, kLanguageList, CB_SETCURSEL, 1, 0);  // English
  PostMessageW(GetDlgItem(dialog, kSaveButton), BM_CLICK, 0, 0);
  EXPECT_EQ(AnswerMessageBoxes(process, L"提示", seconds(3)),
            std::vector<std::wstring>{L"保存成功"});
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));

  const std::string saved = ReadBytes(SettingsFile());
  for (const char* line : {"URLOpenMode=1", "URL=https://portal.example/\r", "BrowserMode=1",
                           "CertTips=1", "CertDay=365", "LanguageID=1033", "DefaultPINMode=1"})
    EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;
  std::wstring dll;
  ASSERT_TRUE(ReadUserRegistryString(L"Software\\Veltrox", L"CorvanexE", &dll));
  EXPECT_EQ(dll, L"CorvanexE.EN.dll");
  // English at once, without a restart.
  EXPECT_TRUE(WaitUntil([&] { return TextOf(main) == L"About"; })) << TextOf(main);
  EXPECT_EQ(TextOf(GetDlgItem(main, AboutView::kWebsiteCaption)), L"Website");
  End();

  // The next start reads what was saved: English from the first window on,
  // and the dialog shows every control as it was left.
  StartMonitor();
  main = monitor.WaitForMainWindow();
  EXPECT_EQ(TextOf(main), L"About");
  dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(TextOf(dialog), L"Advanced settings");
  for (int box : {kOpenUrlBox, kExplorerRadio, kCertTipsBox, kDefaultPinBox})
    EXPECT_EQ(SendDlgItemMessageW(dialog, box, BM_GETCHECK, 0, 0), BST_CHECKED) << box;
  EXPECT_EQ(ControlText(dialog, kUrlEdit), L"https://portal.example/");
  EXPECT_EQ(ControlText(dialog, kCertDayEdit), L"365");
  EXPECT_EQ(SendDlgItemMessageW(dialog, kLanguageList, CB_GETCURSEL, 0, 0), 1);
  PostMessageW(GetDlgItem(dialog, kSettingsCancelButton), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  End();
  EXPECT_EQ(ReadBytes(SettingsFile()), saved);  // a start rewrites nothing
}

TEST_F(SettingsTest, AnEmptyAddressKeepsTheDialogOpenAndCancelWritesNothing) {
  const std::string before = ReadBytes(SettingsFile());
  StartMonitor();
  HWND dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  Click(dialog, kOpenUrlBox);
  SetText(dialog, kUrlEdit, L"");
  PostMessageW(GetDlgItem(dialog, kSaveButton), BM_CLICK, 0, 0);
  EXPECT_EQ(AnswerMessageBoxes(process, L"提示", seconds(3)),
            std::vector<std::wstring>{L"网址不能为空，请重新填写！"});
  EXPECT_TRUE(IsWindow(dialog));
  PostMessageW(GetDlgItem(dialog, kSettingsCancelButton), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  EXPECT_EQ(ReadBytes(SettingsFile()), before);
  End();
}

TEST_F(SettingsTest, AReadOnlySettingsFileIsReportedAndLeftAsItWas) {
  const std::string before = ReadBytes(SettingsFile());
  SetFileAttributesW(SettingsFile().c_str(), FILE_ATTRIBUTE_READONLY);
  StartMonitor();
  HWND dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  Click(dialog, kCertTipsBox);
  PostMessageW(GetDlgItem(dialog, kSaveButton), BM_CLICK, 0, 0);
  EXPECT_EQ(AnswerMessageBoxes(process, L"提示", seconds(3)),
            std::vector<std::wstring>{L"保存失败"});
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  EXPECT_EQ(ReadBytes(SettingsFile()), before);
  SetFileAttributesW(SettingsFile().c_str(), FILE_ATTRIBUTE_NORMAL);
  End();
}

TEST_F(SettingsTest, PullingATokenOutClosesTheDialog) {
  StartMonitor();
  monitor.Plug(0, L"bob");
  ASSERT_TRUE(WaitUntil([] {  // the insertion handled first
    for (const auto& c : ListStore(L"MY"))
      if (c.subject == L"Bob Example")
        return true;
    return false;
  }));
  HWND dialog = OpenDialog();
  ASSERT_NE(dialog, nullptr);
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  End();
}
