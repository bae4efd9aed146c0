// The default-PIN prompt and the change-PIN dialog with the real program and
// a virtual token whose PIN is still the default.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support_win_test.h"
#include "monitor/pin_dialog_win.h"
#include "tests/support/test_stores_win.h"

namespace {

using std::chrono::seconds;

class PinTest : public MonitorScenario {
 protected:
  void StartAndPlugAlice() {
    ASSERT_TRUE(StartWith("CertTips=0\r\nDefaultPINMode=1\r\nLanguageID=2052\r\n"));
    monitor.Plug(0, L"alice");
  }
  HWND WaitForPinDialog(const wchar_t* caption) {
    HWND found = nullptr;
    WaitUntil([&] {
      return (found = InstalledMonitor::FindProcessWindow(process, L"TUPinSetForm", caption));
    });
    return found;
  }
  // Types into the change view and presses OK; the boxes that follow.
  std::vector<std::wstring> Submit(HWND change, const wchar_t* oldPin, const wchar_t* newPin) {
    Type(change, oldPin, newPin);
    PostMessageW(GetDlgItem(change, kPinOkButton), BM_CLICK, 0, 0);
    return AnswerMessageBoxes(process, L"提示", seconds(3));
  }
  // Yes in the prompt, then the change view.
  HWND OpenChangeView() {
    HWND prompt = WaitForPinDialog(L"提示");
    if (!prompt)
      return nullptr;
    PostMessageW(GetDlgItem(prompt, kPromptYesButton), BM_CLICK, 0, 0);
    return WaitForPinDialog(L"修改USB Key口令");
  }
  static void Type(HWND dialog, const wchar_t* oldPin, const wchar_t* newPin) {
    SendDlgItemMessageW(dialog, kOldPinEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(oldPin));
    SendDlgItemMessageW(dialog, kNewPinEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(newPin));
    SendDlgItemMessageW(dialog, kConfirmPinEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(newPin));
  }
  std::string TokenState() const {
    return ReadBytes(monitor.tokenFolder(L"alice") + L"\\token.ini");
  }
  void UnplugAndEnd() {
    monitor.Unplug(0);
    End();
  }
};

}  // namespace

TEST_F(PinTest, TheDefaultPinIsChangedThroughThePromptAndTheChangeView) {
  StartAndPlugAlice();
  HWND change = OpenChangeView();
  ASSERT_NE(change, nullptr);
  SendDlgItemMessageW(change, kOldPinEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"123"));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(change, kPinOkButton)));  // 3, 0, 0 characters
  Type(change, L"12345678", L"24681357");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(change, kPinOkButton)));
  EXPECT_EQ(Submit(change, L"12345678", L"24681357"), std::vector<std::wstring>{L"修改成功"});
  const std::string state = TokenState();
  EXPECT_NE(state.find("userPin=24681357"), std::string::npos) << state;
  EXPECT_NE(state.find("pinIsDefault=0"), std::string::npos) << state;
  UnplugAndEnd();
}

TEST_F(PinTest, AWrongOldPinShowsTheTriesLeftAndTheChangeViewAgain) {
  StartAndPlugAlice();
  HWND change = OpenChangeView();
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(Submit(change, L"00000000", L"24681357"),
            std::vector<std::wstring>{L"原口令不正确,您还有2次重试机会"});
  HWND again = WaitForPinDialog(L"修改USB Key口令");
  ASSERT_NE(again, nullptr);
  PostMessageW(GetDlgItem(again, kPinCancelButton), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(again); }));
  const std::string state = TokenState();
  EXPECT_NE(state.find("userPin=12345678"), std::string::npos) << state;
  EXPECT_NE(state.find("pinIsDefault=1"), std::string::npos) << state;
  UnplugAndEnd();
}

TEST_F(PinTest, NoWithTheRemindBoxClearedSwitchesTheCheckOffAndLeavesTheToken) {
  StartAndPlugAlice();
  HWND prompt = WaitForPinDialog(L"提示");
  ASSERT_NE(prompt, nullptr);
  const std::string before = TokenState();
  EXPECT_EQ(SendDlgItemMessageW(prompt, kRemindBox, BM_GETCHECK, 0, 0), BST_CHECKED);
  SendDlgItemMessageW(prompt, kRemindBox, BM_SETCHECK, BST_UNCHECKED, 0);
  PostMessageW(GetDlgItem(prompt, kPromptNoButton), BM_CLICK, 0, 0);
  const std::wstring settings = monitor.userDataDir() + L"UserConfig.ini";
  EXPECT_TRUE(WaitUntil([&] {
    return ReadBytes(settings).find("DefaultPINMode=0") != std::string::npos;
  })) << ReadBytes(settings);
  EXPECT_EQ(TokenState(), before);
  UnplugAndEnd();

  // The next start keeps the choice: the token is registered, nobody asks.
  ASSERT_TRUE(StartWith(""));
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  EXPECT_FALSE(WaitUntil(
      [&] { return InstalledMonitor::FindProcessWindow(process, L"TUPinSetForm") != nullptr; },
      seconds(3)));
  UnplugAndEnd();
}

TEST_F(PinTest, PullingTheTokenOutClosesTheDialog) {
  StartAndPlugAlice();
  HWND change = OpenChangeView();
  ASSERT_NE(change, nullptr);
  const std::string before = TokenState();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(change); }));
  EXPECT_EQ(TokenState(), before);
  End();
}

TEST_F(PinTest, PullingTheTokenOutClosesThePinAndTheSettingsDialogTogether) {
  ASSERT_TRUE(StartWith("CertTips=0\r\nDefaultPINMode=1\r\nLanguageID=2052\r\n"));
  HWND settings = OpenSettingsDialog(process);
  ASSERT_NE(settings, nullptr);
  // The token's default-PIN prompt comes up over the settings dialog.
  monitor.Plug(0, L"alice");
  HWND prompt = WaitForPinDialog(L"提示");
  ASSERT_NE(prompt, nullptr);
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(prompt) && !IsWindow(settings); }));
  End();
}

TEST_F(PinTest, TheFinalTryAndTheLockAreReportedAsTheTokenTellsThem) {
  std::string state = TokenState();
  const auto at = state.find("triesLeft=6");
  ASSERT_NE(at, std::string::npos);
  state.replace(at, 11, "triesLeft=2");
  WriteBytes(monitor.tokenFolder(L"alice") + L"\\token.ini", state);
  StartAndPlugAlice();
  HWND change = OpenChangeView();
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(Submit(change, L"00000000", L"24681357"),
            std::vector<std::wstring>{L"原口令不正确,您还有1次重试机会"});
  change = WaitForPinDialog(L"修改USB Key口令");
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(Submit(change, L"00000000", L"24681357"),
            (std::vector<std::wstring>{L"原口令不正确,您还有0次重试机会", L"USBKey已锁死"}));
  EXPECT_NE(TokenState().find("triesLeft=0"), std::string::npos);
  UnplugAndEnd();
}
