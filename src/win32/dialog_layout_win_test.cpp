#include "win32/dialog_layout_win.h"

#include <gtest/gtest.h>

#include "i18n/res_strs.h"

namespace {

RECT PlaceOf(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

LONG FontHeightOf(HWND control) {
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  return lf.lfHeight;
}

}  // namespace

TEST(DialogLayout, AChangeOfDpiPlacesControlsSizeAndFontAnew) {
  HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, L"STATIC", L"", WS_POPUP | WS_CAPTION, 0, 0,
                                10, 10, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  const TResStrs strings;
  DialogLayout layout(window, strings);
  const int dpi = layout.dpi();
  const ControlSpec design[] = {{1, L"BUTTON", BS_PUSHBUTTON, 10, 20, 30, 40},
                                {2, L"STATIC", SS_LEFT, 0, 0, 0, 0}};
  layout.CreateControls(design);
  MoveWindow(layout.Item(2), 3, 4, 5, 6, FALSE);  // placed by another
  layout.SetClientSize(100, 50);
  layout.Place(1, 12, 20, 30, 40);
  layout.ApplyTableFont();
  EXPECT_EQ(PlaceOf(layout.Item(1)).left, MulDiv(12, dpi, 96));

  RECT suggested{200, 150, 200 + 300, 150 + 200};
  layout.OnDpiChanged(MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(layout.dpi(), 192);
  const RECT button = PlaceOf(layout.Item(1));
  EXPECT_EQ(button.left, 24);
  EXPECT_EQ(button.top, 40);
  EXPECT_EQ(button.right - button.left, 60);
  EXPECT_EQ(button.bottom - button.top, 80);
  EXPECT_EQ(PlaceOf(layout.Item(2)).left, 3);  // left to its placer
  RECT client{}, frame{};
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  EXPECT_EQ(client.right, 200);
  EXPECT_EQ(client.bottom, 100);
  EXPECT_EQ(frame.left, 200);
  EXPECT_EQ(frame.top, 150);
  EXPECT_EQ(FontHeightOf(layout.Item(1)), -MulDiv(9, 192, 72));
  DestroyWindow(window);
}
