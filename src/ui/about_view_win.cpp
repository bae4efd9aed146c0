#include "ui/about_view_win.h"

#include <shellapi.h>

#include <string>
#include <utility>

#include "config/data_folders.h"
#include "config/profile.h"
#include "i18n/res_strs.h"
#include "base/files_win.h"

namespace {

constexpr COLORREF kLinkColour = RGB(0, 0, 255);

// In tab order.
constexpr ControlSpec kControls[] = {
    {AboutView::kOkButton, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, 257, 19, 75, 25},
    {AboutView::kAppIcon, L"STATIC", SS_ICON, 21, 24, 32, 32},
    {AboutView::kProductName, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 24, 180, 16},
    {AboutView::kVersion, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 43, 180, 16},
    {AboutView::kWebsiteCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 72, 85, 36, 16},
    {AboutView::kEmailCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 72, 112, 36, 16},
    {AboutView::kWebsiteLink, L"STATIC", SS_LEFT | SS_NOTIFY | SS_NOPREFIX, 114, 85, 220, 16},
    {AboutView::kEmailLink, L"STATIC", SS_LEFT | SS_NOTIFY | SS_NOPREFIX, 114, 112, 220, 16},
    {AboutView::kRule, L"STATIC", SS_ETCHEDHORZ, -21, 142, 406, 2},
    {AboutView::kCopyright, L"STATIC", SS_LEFT | SS_NOPREFIX, 41, 162, 264, 16},
};

}  // namespace

AboutView::AboutView(HWND parent, DialogLayout& layout) : parent_(parent), layout_(layout) {
  layout_.CreateControls(kControls);
}

void AboutView::ApplyLanguageTexts(HICON icon) {
  const TResStrs& strings = layout_.strings();
  // A size that is not a decimal number keeps the current one.
  if (auto points = ParseDecimal(strings.FontSize, 4); points && *points > 0)
    points_ = *points;
  LOGFONTW lf{};
  lf.lfHeight = -MulDiv(points_, layout_.dpi(), 72);
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfWeight = FW_NORMAL;
  lstrcpynW(lf.lfFaceName, strings.FontName.c_str(), LF_FACESIZE);
  font_.reset(CreateFontIndirectW(&lf));
  LOGFONTW link{};
  link.lfHeight = -layout_.Scale(11);
  link.lfUnderline = TRUE;
  link.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(link.lfFaceName, L"Tahoma", LF_FACESIZE);
  linkFont_.reset(CreateFontIndirectW(&link));
  for (const ControlSpec& s : kControls) {
    const HGDIOBJ f = IsLink(s.id) ? linkFont_.get() : font_.get();
    SendMessageW(GetDlgItem(parent_, s.id), WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
  }

  const std::pair<ControlId, const std::wstring*> texts[] = {
      {kWebsiteCaption, &strings.About_Form_Label_URL},
      {kEmailCaption, &strings.About_Form_Label_Email},
      {kCopyright, &strings.About_Form_label_CopyRight},
      {kWebsiteLink, &strings.About_Form_Label_URL_Info},
      {kEmailLink, &strings.About_Form_Label_Email_Info},
      {kProductName, &strings.P_Caption},
      {kOkButton, &strings.C_Btn_Confirm}};
  for (const auto& [id, text] : texts)
    SetDlgItemTextW(parent_, id, text->c_str());
  SetDlgItemTextW(parent_, kVersion, GetFileVersionText(ModuleFileName(nullptr)).c_str());
  SendDlgItemMessageW(parent_, kAppIcon, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

bool AboutView::IsOkClick(WPARAM wp) const {
  return LOWORD(wp) == kOkButton && HIWORD(wp) == BN_CLICKED;
}

void AboutView::OnCommand(WPARAM wp) {
  if (HIWORD(wp) != STN_CLICKED)
    return;
  if (LOWORD(wp) == kWebsiteLink)
    OpenLink(kWebsiteLink, L"");
  if (LOWORD(wp) == kEmailLink)
    OpenLink(kEmailLink, L"mailto:");
}

void AboutView::OpenLink(ControlId id, const wchar_t* prefix) const {
  wchar_t text[1024] = {};
  GetDlgItemTextW(parent_, id, text, 1024);
  const std::wstring target = prefix + std::wstring(text);
  ShellExecuteW(parent_, L"open", target.c_str(), nullptr, nullptr, SW_SHOW);
}

LRESULT AboutView::OnCtlColorStatic(HDC dc, HWND control) const {
  SetTextColor(dc, IsLink(GetDlgCtrlID(control)) ? kLinkColour : RGB(0, 0, 0));
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

std::optional<LRESULT> AboutView::OnSetCursor(HWND control) const {
  if (!IsLink(GetDlgCtrlID(control)))
    return std::nullopt;
  SetCursor(LoadCursorW(nullptr, IDC_HAND));
  return TRUE;
}
