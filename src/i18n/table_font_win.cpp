#include "i18n/table_font_win.h"

#include "config/profile.h"
#include "i18n/res_strs.h"

UniqueGdiObject ApplyTableFont(HWND window, int dpi, const TResStrs& strings) {
  LOGFONTW lf{};
  const auto points = ParseDecimal(strings.FontSize, 4);
  lf.lfHeight = -MulDiv(points && *points > 0 ? *points : 9, dpi, 72);
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, strings.FontName.c_str(), LF_FACESIZE);
  UniqueGdiObject font(CreateFontIndirectW(&lf));
  for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
  return font;
}
