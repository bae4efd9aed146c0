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

}  // namespace

TEST(MainForm, TrayMenuHasTheThreeActionsWithN1AsDefault) {
  const TResStrs saved = ResStrs;
  auto form = TMainForm::Create(nullptr);
  ASSERT_NE(form, nullptr);
  EXPECT_FALSE(IsWindowVisible(form->hwnd()));
  EXPECT_EQ(MenuItems(form->PopupMenu1()),
            (std::vector<std::wstring>{L"显示主窗口", L"高级设置", L"退出"}));
  EXPECT_EQ(GetMenuDefaultItem(form->PopupMenu1(), FALSE, 0), static_cast<UINT>(TMainForm::kN1));

  // New texts: the captions follow, the default item stays.
  ResStrs.Main_Form_PopupMenu_listMain = L"Show main window";
  ResStrs.Main_Form_PopupMenu_Close = L"Exit";
  ResStrs.Main_Form_PopupMenu_About = L"About";
  form->ApplyLanguageTexts();
  EXPECT_EQ(MenuItems(form->PopupMenu1()),
            (std::vector<std::wstring>{L"Show main window", L"高级设置", L"Exit"}));
  EXPECT_EQ(GetMenuDefaultItem(form->PopupMenu1(), FALSE, 0), static_cast<UINT>(TMainForm::kN1));
  wchar_t title[64] = {};
  GetWindowTextW(form->hwnd(), title, 64);
  EXPECT_STREQ(title, L"About");
  ResStrs = saved;
}

TEST(MainForm, AboutViewIsLaidOutInAClient347By192) {
  auto form = TMainForm::Create(nullptr);
  ASSERT_NE(form, nullptr);
  RECT client{};
  GetClientRect(form->hwnd(), &client);
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(client.right, MulDiv(347, dpi, 96));
  EXPECT_EQ(client.bottom, MulDiv(192, dpi, 96));
  wchar_t text[64] = {};
  GetDlgItemTextW(form->hwnd(), TMainForm::kButton1, text, 64);
  EXPECT_STREQ(text, L"确定");
  GetDlgItemTextW(form->hwnd(), TMainForm::kLabel7, text, 64);
  EXPECT_STREQ(text, L"https://www.example.com/");
}
