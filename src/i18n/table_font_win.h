#pragma once
#include <windows.h>

#include "base/unique_handle_win.h"
#include "i18n/res_strs.h"

// The string table's font (FontName, FontSize in points, 9 when the size is
// not a number) at dpi, set on every child of window; the caller keeps it.
UniqueGdiObject ApplyTableFont(HWND window, int dpi, const TResStrs& strings);
