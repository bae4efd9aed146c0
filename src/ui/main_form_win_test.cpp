#include "ui/main_form_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n/res_strs.h"

namespace {

std::vector<std::wstring> MenuItems(HMENU menu) {
  std::vector<std::wstring> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
    items.push_back(text);
  }
  return items;
}

struct IgnoredEvents : MainFormEvents {
  void OnTimer(UINT_PTR) override {}
  void OnSessionChange(WPARAM) override {}
  void OnCopyData(HWND, const COPYDATASTRUCT&) override {}
  void OnPolicyChange() override {}
  void OnDestroy() override {}
  void OnAdvancedSettings() override {}
};

}  // namespace

TEST(MainForm, TrayMenuHasTheThreeActionsWithShowManagerAsDefault) {
  TResStrs strings;
  ProgramState state;
  IgnoredEvents events;
  auto form = TMainForm::Create(nullptr, state, events, strings);
  ASSERT_NE(form, nullptr);
  EXPECT_FALSE(IsWindowVisible(form->hwnd()));
  EXPECT_EQ(MenuItems(form->TrayMenu()),
            (std::vector<std::wstring>{L"显示主窗口", L"高级设置", L"退出"}));
  EXPECT_EQ(GetMenuDefaultItem(form->TrayMenu(), FALSE, 0),
            static_cast<UINT>(TMainForm::kShowManager));

  // New texts: the captions follow, the default item stays.
  strings.Main_Form_PopupMenu_listMain = L"Show main window";
  strings.Main_Form_PopupMenu_Close = L"Exit";
  strings.Main_Form_PopupMenu_About = L"About";
  form->ApplyLanguageTexts();
  EXPECT_EQ(MenuItems(form->TrayMenu()),
            (std::vector<std::wstring>{L"Show main window", L"高级设置", L"Exit"}));
  EXPECT_EQ(GetMenuDefaultItem(form->TrayMenu(), FALSE, 0),
            static_cast<UINT>(TMainForm::kShowManager));
  wchar_t title[64] = {};
  GetWindowTextW(form->hwnd(), title, 64);
  EXPECT_STREQ(title, L"About");
}

TEST(MainForm, AboutViewIsLaidOutInAClient347By192) {
  const TResStrs strings;
  ProgramState state;
  IgnoredEvents events;
  auto form = TMainForm::Create(nullptr, state, events, strings);
  ASSERT_NE(form, nullptr);
  RECT client{};
  GetClientRect(form->hwnd(), &client);
  UniqueScreenDC screen(GetDC(nullptr));
  const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSY);
  EXPECT_EQ(client.right, MulDiv(347, dpi, 96));
  EXPECT_EQ(client.bottom, MulDiv(192, dpi, 96));
  wchar_t text[64] = {};
  GetDlgItemTextW(form->hwnd(), AboutView::kOkButton, text, 64);
  EXPECT_STREQ(text, L"确定");
  GetDlgItemTextW(form->hwnd(), AboutView::kWebsiteLink, text, 64);
  EXPECT_STREQ(text, L"https://www.example.com/");
}

TEST(MainForm, AMoveToAMonitorOf144DpiLaysTheAboutViewOutAgain) {
  const TResStrs strings;
  ProgramState state;
  IgnoredEvents events;
  auto form = TMainForm::Create(nullptr, state, events, strings);
  ASSERT_NE(form, nullptr);
  RECT suggested{100, 80, 100 + 600, 80 + 400};
  SendMessageW(form->hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144),
               reinterpret_cast<LPARAM>(&suggested));
  RECT client{}, frame{}, ok{};
  GetClientRect(form->hwnd(), &client);
  GetWindowRect(form->hwnd(), &frame);
  EXPECT_EQ(client.right, MulDiv(347, 144, 96));
  EXPECT_EQ(client.bottom, MulDiv(192, 144, 96));
  EXPECT_EQ(frame.left, 100);
  EXPECT_EQ(frame.top, 80);
  HWND button = GetDlgItem(form->hwnd(), AboutView::kOkButton);
  GetWindowRect(button, &ok);
  MapWindowPoints(nullptr, form->hwnd(), reinterpret_cast<POINT*>(&ok), 2);
  EXPECT_EQ(ok.left, MulDiv(257, 144, 96));
  EXPECT_EQ(ok.right - ok.left, MulDiv(75, 144, 96));
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_EQ(lf.lfHeight, -MulDiv(9, 144, 72));
}
