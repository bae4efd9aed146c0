#include "monitor/pin_dialog_win.h"

#include <algorithm>
#include <memory>
#include <string>

#include "config/app_config.h"
#include "config/policy.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "i18n/res_strs.h"
#include "win32/common_controls_win.h"
#include "win32/dialog_layout_win.h"
#include "win32/modal_win.h"
#include "win32/pin_edit_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"
#include "win32/window_win.h"

namespace {

constexpr int kWidth = 380, kChangeHeight = 230, kPromptHeight = 180;
constexpr int kPromptTextWidth = 280;  // wider texts widen the dialog
constexpr DWORD kPinEditStyle = ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;

// The two views, in tab order; a frame goes under the controls it holds. The
// prompt's text, buttons and box are placed once its text is known.
constexpr ControlSpec kPromptDesign[] = {
    {kPromptPanel, L"STATIC", SS_WHITERECT, 0, 0, kWidth, 92},
    {kPromptIcon, L"STATIC", SS_ICON | SS_CENTERIMAGE, 16, 22, 48, 48},
    {kPromptText, L"STATIC", SS_LEFT | SS_NOPREFIX, 76, 38, kPromptTextWidth, 20},
    {kRemindBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 16, 108, 180, 20},
    {kPromptYesButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 80, 26},
    {kPromptNoButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 80, 26},
};
constexpr ControlSpec kChangeDesign[] = {
    {kPinGroup, L"BUTTON", BS_GROUPBOX, 11, 8, 352, 138},
    {kOldPinCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 20, 32, 84, 18},
    {kOldPinEdit, L"EDIT", kPinEditStyle, 110, 29, 176, 22},
    {kOldPinCount, L"STATIC", SS_LEFT | SS_NOPREFIX, 294, 32, 50, 18},
    {kNewPinCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 20, 67, 84, 18},
    {kNewPinEdit, L"EDIT", kPinEditStyle, 110, 64, 176, 22},
    {kNewPinCount, L"STATIC", SS_LEFT | SS_NOPREFIX, 294, 67, 50, 18},
    {kConfirmPinCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 20, 102, 84, 18},
    {kConfirmPinEdit, L"EDIT", kPinEditStyle, 110, 99, 176, 22},
    {kConfirmPinCount, L"STATIC", SS_LEFT | SS_NOPREFIX, 294, 102, 50, 18},
    {kPinOkButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 190, 158, 80, 26},
    {kPinCancelButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 281, 158, 80, 26},
};

class TUPinSetForm : public Window {
 public:
  explicit TUPinSetForm(const PinDialogInputs& inputs) : in_(inputs) {}

  bool Create(HWND owner) {
    if (!CreateWindowOfClass(names::kPinDialogClass, L"", WS_POPUP | WS_CAPTION | WS_SYSMENU,
                             WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, owner))
      return false;
    layout_ = std::make_unique<DialogLayout>(hwnd(), in_.strings);
    FormCreate();
    ApplyLanguageTexts();
    // Fixed outer size, centred on the owner's monitor, topmost.
    layout_->CentreOnOwnerMonitor(owner, HWND_TOPMOST);
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
      case WM_DPICHANGED:
        layout_->OnDpiChanged(wp, lp);
        ApplyLanguageTexts();
        return 0;
      default:
        return Window::HandleMessage(msg, wp, lp);
    }
  }

 private:
  bool IsPrompt() const { return in_.ShowMode == PinDialogInputs::kPromptView; }
  int Scale(int pixels) const { return layout_->Scale(pixels); }
  HWND Item(int id) const { return layout_->Item(id); }

  void FormCreate() {
    if (IsPrompt()) {
      layout_->CreateControls(kPromptDesign, WS_CLIPSIBLINGS);
      SendMessageW(Item(kRemindBox), BM_SETCHECK, in_.RemindTicked ? BST_CHECKED : BST_UNCHECKED,
                   0);
      EnableWindow(Item(kRemindBox), !in_.RemindLocked);
      layout_->Underlay(kPromptPanel);
      return;
    }
    layout_->CreateControls(kChangeDesign, WS_CLIPSIBLINGS);
    for (int id : {kOldPinEdit, kNewPinEdit, kConfirmPinEdit})
      MakePinEdit(Item(id), kPinBoxChars);
    EnableWindow(Item(kPinOkButton), FALSE);
    layout_->Underlay(kPinGroup);
  }

  // Texts, fonts and the sizes that follow from them; again after a change
  // of DPI.
  void ApplyLanguageTexts() {
    layout_->ApplyTableFont();

    int width = kWidth, height = kChangeHeight;
    if (!IsPrompt()) {
      SetWindowTextW(hwnd(), in_.strings.Main_Form_btn_SetUPIN.c_str());
      SetDlgItemTextW(hwnd(), kOldPinCaption, in_.strings.UPINSet_Form_OldPIN.c_str());
      SetDlgItemTextW(hwnd(), kNewPinCaption, in_.strings.UPINSet_Form_NewPIN1.c_str());
      SetDlgItemTextW(hwnd(), kConfirmPinCaption, in_.strings.UPINSet_Form_NewPIN2.c_str());
      SetDlgItemTextW(hwnd(), kPinOkButton, in_.strings.C_Btn_Confirm.c_str());
      SetDlgItemTextW(hwnd(), kPinCancelButton, in_.strings.C_Btn_Cancel.c_str());
    } else {
      height = kPromptHeight;
      SetWindowTextW(hwnd(), in_.strings.P_MSGTitle.c_str());
      SetDlgItemTextW(hwnd(), kPromptYesButton, in_.strings.Btn_Yes.c_str());
      SetDlgItemTextW(hwnd(), kPromptNoButton, in_.strings.Btn_No.c_str());
      SetDlgItemTextW(hwnd(), kRemindBox, in_.strings.P_DefaultPIN_Info.c_str());
      // The prompt text has a font of its own; a long one widens the dialog.
      LOGFONTW tahoma{};
      tahoma.lfHeight = -Scale(13);
      tahoma.lfCharSet = DEFAULT_CHARSET;
      lstrcpynW(tahoma.lfFaceName, L"Tahoma", LF_FACESIZE);
      textFont_.reset(CreateFontIndirectW(&tahoma));
      SendMessageW(Item(kPromptText), WM_SETFONT, reinterpret_cast<WPARAM>(textFont_.get()), TRUE);
      const std::wstring& text = in_.strings.K_DefaultUPINInfo;
      SetDlgItemTextW(hwnd(), kPromptText, text.c_str());
      SIZE extent{};
      {
        UniqueScreenDC dc(GetDC(nullptr));
        const HGDIOBJ old = SelectObject(dc.get(), textFont_.get());
        GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &extent);
        SelectObject(dc.get(), old);
      }
      const int textWidth = MulDiv(extent.cx, 96, layout_->dpi()) + 4;
      if (textWidth > kPromptTextWidth)
        width += textWidth - kPromptTextWidth;
      layout_->Place(kPromptText, 76, 38, std::max(textWidth, 10), 20);
      SendMessageW(Item(kPromptIcon), STM_SETICON,
                   reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_QUESTION)), 0);
    }
    layout_->SetFrameSize(width, height);
    if (IsPrompt()) {
      // The buttons and the box keep to the client area's bottom right.
      RECT client{};
      GetClientRect(hwnd(), &client);
      const int right = MulDiv(client.right, 96, layout_->dpi());
      const int bottom = MulDiv(client.bottom, 96, layout_->dpi());
      layout_->Place(kPromptPanel, 0, 0, right, 92);
      layout_->Place(kPromptNoButton, right - 92, bottom - 38, 80, 26);
      layout_->Place(kPromptYesButton, right - 180, bottom - 38, 80, 26);
      layout_->Place(kRemindBox, 16, bottom - 34, 180, 20);
    }
  }

  std::wstring EditText(int id) const {
    wchar_t buffer[kPinBoxChars + 2] = {};
    GetDlgItemTextW(hwnd(), id, buffer, kPinBoxChars + 1);
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
                                   in_.strings)) {
      const UINT icon =
          problem->boxKind == MonitorPorts::kQuestion ? MB_ICONQUESTION : MB_ICONINFORMATION;
      MessageBoxW(hwnd(), problem->text.c_str(), in_.strings.P_MSGTitle.c_str(), MB_OK | icon);
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
        SetDlgItemTextW(hwnd(), id, std::wstring(kPinBoxChars, L'*').c_str());
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
  std::unique_ptr<DialogLayout> layout_;
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
  PinDialogInputs in(strings_);
  in.ShowMode = PinDialogInputs::kPromptView;
  in.RemindTicked = true;
  in.RemindLocked = policy_.DefaultPINMode.has_value();
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
  PinDialogInputs in(strings_);
  in.MinPinLen = minLength;
  in.MaxPinLen = maxLength;
  PinDialogOutputs out;
  if (!ShowPinDialog(mainWindow_, in, &out) || out.ModalResult != IDOK)
    return std::nullopt;
  return PinChange{std::move(out.OldPin), std::move(out.NewPin)};
}

void DesktopPinDialogs::SaveSettings(const TConfigInfo& config) {
  // What the administrator set stays out of the user's file.
  const std::wstring path = GetUserDataDir() + names::kUserConfigFile;
  TConfigInfo stored{};
  ReadAppConfig(path, stored);
  WriteAppConfig(path, WithoutPolicySettings(policy_, config, stored));
}
