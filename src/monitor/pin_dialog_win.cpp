#include "monitor/pin_dialog_win.h"

#include <algorithm>

#include <string>

#include "config/app_config.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "i18n/res_strs.h"
#include "i18n/table_font_win.h"
#include "win32/common_controls_win.h"
#include "win32/modal_win.h"
#include "win32/text_win.h"
#include "win32/unique_handle_win.h"
#include "win32/window_win.h"

namespace {

constexpr int kMaxPinChars = 16;
constexpr int kWidth = 380, kChangeHeight = 230, kPromptHeight = 180;
constexpr int kPromptTextWidth = 280;  // wider texts widen the dialog
constexpr UINT_PTR kEditSubclass = 1;

// A character the system code page holds exactly; anything else typed or
// pasted into a PIN box is refused quietly.
bool IsPinCharacter(wchar_t c) {
  return c >= L' ' && ToAnsiExact(std::wstring_view(&c, 1)).has_value();
}

std::wstring ClipboardText(HWND owner) {
  std::wstring text;
  if (!OpenClipboard(owner))
    return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT))
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  CloseClipboard();
  return text;
}

LRESULT CALLBACK PinEditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_CHAR:
      if (wp >= L' ' && !IsPinCharacter(static_cast<wchar_t>(wp)))
        return 0;
      break;
    case WM_PASTE: {
      std::wstring kept;
      for (wchar_t c : ClipboardText(edit))
        if (IsPinCharacter(c))
          kept += c;
      SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(kept.c_str()));
      SecureZeroMemory(kept.data(), kept.size() * sizeof(wchar_t));
      return 0;
    }
    case WM_NCDESTROY:
      common_controls::RemoveSubclass(edit, PinEditProc, kEditSubclass);
      break;
    default:
      break;
  }
  return common_controls::DefaultProc(edit, msg, wp, lp);
}

class TUPinSetForm : public Window {
 public:
  explicit TUPinSetForm(const PinDialogInputs& inputs) : in_(inputs) {}

  bool Create(HWND owner) {
    UniqueScreenDC screen(GetDC(nullptr));
    dpi_ = GetDeviceCaps(screen.get(), LOGPIXELSY);
    if (!CreateWindowOfClass(names::kPinDialogClass, L"", WS_POPUP | WS_CAPTION | WS_SYSMENU,
                             WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, owner))
      return false;
    FormCreate();
    ApplyLanguageTexts();
    return true;
  }

  // Runs the dialog until it closes; the outputs as it closed.
  void RunModal(HWND owner, PinDialogOutputs* out) {
    RunModalLoop(hwnd(), owner, done_, [this](const MSG& msg) { return PreTranslate(msg); });
    out->ModalResult = done_ ? modalResult_ : IDCANCEL;
    out->RemindTicked = remindTicked_;
    out->OldPin = std::move(oldPin_);
    out->NewPin = std::move(newPin_);
  }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    switch (msg) {
      case WM_COMMAND:
        OnCommand(LOWORD(wp), HIWORD(wp));
        return 0;
      case WM_NEXTDLGCTL:
        SetFocus(GetNextDlgTabItem(hwnd(), GetFocus(), FALSE));
        return 0;
      case WM_CTLCOLORSTATIC: {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
        const bool white = id == kPromptText || id == kPromptIcon;
        SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(white ? COLOR_WINDOW : COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(white ? COLOR_WINDOW : COLOR_BTNFACE));
      }
      case WM_CLOSE:  // the close box, or the system close command on removal
        Close(IDCANCEL);
        return 0;
      default:
        return Window::HandleMessage(msg, wp, lp);
    }
  }

 private:
  bool IsPrompt() const { return in_.ShowMode == PinDialogInputs::kPromptView; }
  int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }
  HWND Item(int id) const { return GetDlgItem(hwnd(), id); }

  HWND Add(int id, const wchar_t* cls, DWORD style, int x, int y, int w, int h) {
    return CreateWindowExW(
        0, cls, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, Scale(x), Scale(y), Scale(w),
        Scale(h), hwnd(), reinterpret_cast<HMENU>(INT_PTR{id}), GetModuleHandleW(nullptr), nullptr);
  }

  void FormCreate() {
    if (IsPrompt()) {
      Add(kPromptPanel, L"STATIC", SS_WHITERECT, 0, 0, kWidth, 92);
      Add(kPromptIcon, L"STATIC", SS_ICON | SS_CENTERIMAGE, 16, 22, 48, 48);
      Add(kPromptText, L"STATIC", SS_LEFT | SS_NOPREFIX, 76, 38, kPromptTextWidth, 20);
      Add(kRemindBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 16, 108, 180, 20);
      Add(kPromptYesButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 80, 26);
      Add(kPromptNoButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 80, 26);
      SendMessageW(Item(kRemindBox), BM_SETCHECK, in_.RemindTicked ? BST_CHECKED : BST_UNCHECKED,
                   0);
      Underlay(kPromptPanel);
      return;
    }
    Add(kPinGroup, L"BUTTON", BS_GROUPBOX, 11, 8, 352, 138);
    const int rows[] = {32, 67, 102};
    const int captions[] = {kOldPinCaption, kNewPinCaption, kConfirmPinCaption};
    const int edits[] = {kOldPinEdit, kNewPinEdit, kConfirmPinEdit};
    const int counts[] = {kOldPinCount, kNewPinCount, kConfirmPinCount};
    for (int i = 0; i < 3; ++i) {
      Add(captions[i], L"STATIC", SS_RIGHT | SS_NOPREFIX, 20, rows[i], 84, 18);
      HWND edit = Add(edits[i], L"EDIT", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 110,
                      rows[i] - 3, 176, 22);
      SendMessageW(edit, EM_SETPASSWORDCHAR, L'*', 0);
      SendMessageW(edit, EM_LIMITTEXT, kMaxPinChars, 0);
      common_controls::Subclass(edit, PinEditProc, kEditSubclass);
      Add(counts[i], L"STATIC", SS_LEFT | SS_NOPREFIX, 294, rows[i], 50, 18);
    }
    Add(kPinOkButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 190, 158, 80, 26);
    Add(kPinCancelButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 281, 158, 80, 26);
    EnableWindow(Item(kPinOkButton), FALSE);
    Underlay(kPinGroup);
  }

  // A frame drawn under the controls it holds: last in the z-order (which
  // leaves the tab order of the others as created).
  void Underlay(int id) {
    SetWindowPos(Item(id), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  void ApplyLanguageTexts() {
    font_ = ApplyTableFont(hwnd(), dpi_);

    int width = kWidth, height = kChangeHeight;
    if (!IsPrompt()) {
      SetWindowTextW(hwnd(), ResStrs.Main_Form_btn_SetUPIN.c_str());
      SetDlgItemTextW(hwnd(), kOldPinCaption, ResStrs.UPINSet_Form_OldPIN.c_str());
      SetDlgItemTextW(hwnd(), kNewPinCaption, ResStrs.UPINSet_Form_NewPIN1.c_str());
      SetDlgItemTextW(hwnd(), kConfirmPinCaption, ResStrs.UPINSet_Form_NewPIN2.c_str());
      SetDlgItemTextW(hwnd(), kPinOkButton, ResStrs.C_Btn_Confirm.c_str());
      SetDlgItemTextW(hwnd(), kPinCancelButton, ResStrs.C_Btn_Cancel.c_str());
    } else {
      height = kPromptHeight;
      SetWindowTextW(hwnd(), ResStrs.P_MSGTitle.c_str());
      SetDlgItemTextW(hwnd(), kPromptYesButton, ResStrs.Btn_Yes.c_str());
      SetDlgItemTextW(hwnd(), kPromptNoButton, ResStrs.Btn_No.c_str());
      SetDlgItemTextW(hwnd(), kRemindBox, ResStrs.P_DefaultPIN_Info.c_str());
      // The prompt text has a font of its own; a long one widens the dialog.
      LOGFONTW tahoma{};
      tahoma.lfHeight = -Scale(13);
      tahoma.lfCharSet = DEFAULT_CHARSET;
      lstrcpynW(tahoma.lfFaceName, L"Tahoma", LF_FACESIZE);
      textFont_.reset(CreateFontIndirectW(&tahoma));
      SendMessageW(Item(kPromptText), WM_SETFONT, reinterpret_cast<WPARAM>(textFont_.get()), TRUE);
      const std::wstring& text = ResStrs.K_DefaultUPINInfo;
      SetDlgItemTextW(hwnd(), kPromptText, text.c_str());
      SIZE extent{};
      {
        UniqueScreenDC dc(GetDC(nullptr));
        const HGDIOBJ old = SelectObject(dc.get(), textFont_.get());
        GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &extent);
        SelectObject(dc.get(), old);
      }
      const int textWidth = MulDiv(extent.cx, 96, dpi_) + 4;
      if (textWidth > kPromptTextWidth)
        width += textWidth - kPromptTextWidth;
      MoveWindow(Item(kPromptText), Scale(76), Scale(38), Scale(std::max(textWidth, 10)), Scale(20),
                 FALSE);
      SendMessageW(Item(kPromptIcon), STM_SETICON,
                   reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_QUESTION)), 0);
    }
    // Fixed outer size, centred on the screen, topmost.
    const int w = Scale(width), h = Scale(height);
    SetWindowPos(hwnd(), HWND_TOPMOST, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h, SWP_NOACTIVATE);
    if (IsPrompt()) {
      RECT client{};
      GetClientRect(hwnd(), &client);
      const int right = client.right;
      MoveWindow(Item(kPromptPanel), 0, 0, right, Scale(92), FALSE);
      MoveWindow(Item(kPromptNoButton), right - Scale(92), client.bottom - Scale(38), Scale(80),
                 Scale(26), FALSE);
      MoveWindow(Item(kPromptYesButton), right - Scale(180), client.bottom - Scale(38), Scale(80),
                 Scale(26), FALSE);
      MoveWindow(Item(kRemindBox), Scale(16), client.bottom - Scale(34), Scale(180), Scale(20),
                 FALSE);
    }
  }

  std::wstring EditText(int id) const {
    wchar_t buffer[kMaxPinChars + 2] = {};
    GetDlgItemTextW(hwnd(), id, buffer, kMaxPinChars + 1);
    std::wstring text(buffer);
    SecureZeroMemory(buffer, sizeof buffer);
    return text;
  }
  std::size_t EditLength(int id) const {
    return static_cast<std::size_t>(GetWindowTextLengthW(Item(id)));
  }

  static int CountLabelOf(int edit) {
    return edit == kOldPinEdit   ? kOldPinCount
           : edit == kNewPinEdit ? kNewPinCount
                                 : kConfirmPinCount;
  }

  void OnCommand(int id, int code) {
    switch (id) {
      case kOldPinEdit:
      case kNewPinEdit:
      case kConfirmPinEdit:
        if (code == EN_CHANGE || code == EN_SETFOCUS) {
          SetDlgItemTextW(hwnd(), CountLabelOf(id), std::to_wstring(EditLength(id)).c_str());
          EnableWindow(Item(kPinOkButton),
                       IsPinOkEnabled(EditLength(kOldPinEdit), EditLength(kNewPinEdit),
                                      EditLength(kConfirmPinEdit)));
        } else if (code == EN_KILLFOCUS) {
          SetDlgItemTextW(hwnd(), CountLabelOf(id), L"");
        }
        break;
      case kPinOkButton:
        if (code == BN_CLICKED)
          btnOKClick();
        break;
      case kPromptYesButton:
        Close(IDOK);
        break;
      case kPromptNoButton:
      case kPinCancelButton:
      case IDCANCEL:  // Escape
        Close(IDCANCEL);
        break;
      default:
        break;
    }
  }

  void btnOKClick() {
    PinText newPin(EditText(kNewPinEdit)), confirmation(EditText(kConfirmPinEdit));
    if (auto problem = CheckNewPin(newPin.text(), confirmation.text(), in_.MinPinLen, in_.MaxPinLen,
                                   ResStrs)) {
      const UINT icon =
          problem->boxKind == MonitorPorts::kQuestion ? MB_ICONQUESTION : MB_ICONINFORMATION;
      MessageBoxW(hwnd(), problem->text.c_str(), ResStrs.P_MSGTitle.c_str(), MB_OK | icon);
      return;
    }
    oldPin_ = PinText(EditText(kOldPinEdit));
    newPin_ = std::move(newPin);
    Close(IDOK);
  }

  void Close(int result) {
    if (IsPrompt())
      remindTicked_ = SendMessageW(Item(kRemindBox), BM_GETCHECK, 0, 0) == BST_CHECKED;
    else
      // The boxes' own memory is overwritten before the window goes.
      for (int id : {kOldPinEdit, kNewPinEdit, kConfirmPinEdit})
        SetDlgItemTextW(hwnd(), id, std::wstring(kMaxPinChars, L'*').c_str());
    modalResult_ = result;
    done_ = true;
  }

  // The keys of the change view: Enter or Down moves on to the next control;
  // Enter in the confirmation box acts as OK once the PINs are long enough.
  // In the prompt view Enter presses the focused button.
  bool PreTranslate(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || (msg.wParam != VK_RETURN && msg.wParam != VK_DOWN))
      return false;
    if (msg.hwnd != hwnd() && !IsChild(hwnd(), msg.hwnd))
      return false;
    const int id = msg.hwnd == hwnd() ? 0 : GetDlgCtrlID(msg.hwnd);
    if (IsPrompt()) {
      if (msg.wParam != VK_RETURN || (id != kPromptYesButton && id != kPromptNoButton))
        return false;
      SendMessageW(msg.hwnd, BM_CLICK, 0, 0);
      return true;
    }
    if (id == kConfirmPinEdit) {
      if (msg.wParam != VK_RETURN)
        return false;
      if (ConfirmationEnterActsAsOk(EditLength(kOldPinEdit), EditLength(kNewPinEdit)))
        btnOKClick();
      return true;
    }
    SendMessageW(hwnd(), WM_NEXTDLGCTL, 0, 0);
    return true;
  }

  PinDialogInputs in_;
  int dpi_ = 96;
  UniqueGdiObject font_;
  UniqueGdiObject textFont_;
  bool done_ = false;
  int modalResult_ = IDCANCEL;
  bool remindTicked_ = true;
  PinText oldPin_;
  PinText newPin_;
};

}  // namespace

bool ShowPinDialog(HWND owner, const PinDialogInputs& inputs, PinDialogOutputs* outputs) {
  TUPinSetForm form(inputs);
  if (!form.Create(owner))
    return false;
  form.RunModal(owner, outputs);
  return true;
}

PinDialogs::PromptAnswer DesktopPinDialogs::ShowDefaultPinPrompt() {
  PinDialogInputs in;
  in.ShowMode = PinDialogInputs::kPromptView;
  in.RemindTicked = true;
  PinDialogOutputs out;
  if (!ShowPinDialog(mainWindow_, in, &out))
    return {false, true};
  return {out.ModalResult == IDOK, out.RemindTicked};
}

std::optional<PinChange> DesktopPinDialogs::ShowChangePinDialog(std::int32_t minLength,
                                                                std::int32_t maxLength) {
  // Class names compare without regard to case.
  if (HWND open = FindWindowW(names::kPinDialogClass, nullptr)) {
    SetForegroundWindow(open);
    return std::nullopt;
  }
  PinDialogInputs in;
  in.MinPinLen = minLength;
  in.MaxPinLen = maxLength;
  PinDialogOutputs out;
  if (!ShowPinDialog(mainWindow_, in, &out) || out.ModalResult != IDOK)
    return std::nullopt;
  return PinChange{std::move(out.OldPin), std::move(out.NewPin)};
}

void DesktopPinDialogs::SaveSettings(const TConfigInfo& config) {
  WriteAppConfig(GetUserDataDir() + names::kUserConfigFile, config);
}
