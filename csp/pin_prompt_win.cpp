#include "pin_prompt_win.h"

#include <memory>

#include "base/text_win.h"
#include "i18n/safe_format.h"
#include "win32/dialog_layout_win.h"
#include "win32/modal_win.h"
#include "win32/pin_edit_win.h"

namespace {

constexpr wchar_t kLoginFormClass[] = L"TLoginForm";
constexpr int kWidth = 360, kHeight = 160;
constexpr int kPinChars = 64;  // the longest PIN a PKCS#11 token takes in practice

constexpr ControlSpec kDesign[] = {
    {kLoginTokenCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 12, 20, 84, 18},
    {kLoginTokenLabel, L"STATIC", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 104, 20, 240, 18},
    {kLoginPinCaption, L"STATIC", SS_RIGHT | SS_NOPREFIX, 12, 54, 84, 18},
    {kLoginPinEdit, L"EDIT", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 104, 51, 200,
     22},
    {kLoginTriesText, L"STATIC", SS_LEFT | SS_NOPREFIX, 104, 84, 240, 18},
    {kLoginButton, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, 172, 118, 80, 26},
    {kLoginCancelButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 264, 118, 80, 26},
};

struct LoginForm {
  const TResStrs& strings;
  const csp::PinRequest& request;
  std::unique_ptr<DialogLayout> layout;
  bool done = false;
  std::optional<SecretBytes> pin;

  void ApplyTexts(HWND window) {
    layout->ApplyTableFont();
    SetWindowTextW(window, strings.I_InputPIN.c_str());
    SetDlgItemTextW(window, kLoginTokenCaption, strings.Login_Form_label_keyname.c_str());
    SetDlgItemTextW(window, kLoginTokenLabel, FromAnsi(request.tokenLabel).c_str());
    SetDlgItemTextW(window, kLoginPinCaption, strings.Lonin_Form_lable_Key.c_str());
    const std::wstring tries =
        request.triesLeft ? SafeFormat(strings.K_ISTry, {*request.triesLeft}) : std::wstring();
    SetDlgItemTextW(window, kLoginTriesText, tries.c_str());
    SetDlgItemTextW(window, kLoginButton, strings.Login_Form_btn_OK.c_str());
    SetDlgItemTextW(window, kLoginCancelButton, strings.Login_Form__btn_cancel.c_str());
  }

  void Close(HWND window, bool login) {
    if (login)
      pin = TakePinEdit(GetDlgItem(window, kLoginPinEdit), true);
    done = true;
  }
};

LRESULT HandleLoginMessage(LoginForm& form, HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case kLoginButton:
        case IDOK:  // Enter
          form.Close(window, true);
          return 0;
        case kLoginCancelButton:
        case IDCANCEL:  // Escape
          form.Close(window, false);
          return 0;
        default:
          break;
      }
      break;
    case WM_CLOSE:
      form.Close(window, false);
      return 0;
    case WM_DPICHANGED:
      form.layout->OnDpiChanged(wp, lp);
      form.ApplyTexts(window);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

LRESULT CALLBACK LoginFormProcedure(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(
        window, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  auto* form = reinterpret_cast<LoginForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!form || msg == WM_NCDESTROY)
    return DefWindowProcW(window, msg, wp, lp);
  // Nothing escapes into the program that called us, and no box of ours
  // appears in it: a failure ends the prompt as a cancel.
  try {
    return HandleLoginMessage(*form, window, msg, wp, lp);
  } catch (...) {
    form->done = true;
    return 0;
  }
}

bool RegisterLoginFormClass(HINSTANCE module) {
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(module, kLoginFormClass, &wc))
    return true;
  wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &LoginFormProcedure;
  wc.hInstance = module;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kLoginFormClass;
  return RegisterClassExW(&wc) != 0;
}

}  // namespace

std::optional<SecretBytes> DesktopPinPrompt::Ask(const csp::PinRequest& request) {
  if (!RegisterLoginFormClass(module_))
    return std::nullopt;
  LoginForm form{strings_, request};
  const HWND window = CreateWindowExW(
      WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kLoginFormClass, L"", WS_POPUP | WS_CAPTION | WS_SYSMENU,
      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner_, nullptr, module_, &form);
  if (!window)
    return std::nullopt;
  form.layout = std::make_unique<DialogLayout>(window, strings_);
  form.layout->CreateControls(kDesign);
  MakePinEdit(GetDlgItem(window, kLoginPinEdit), kPinChars);
  form.ApplyTexts(window);
  form.layout->SetClientSize(kWidth, kHeight);
  form.layout->CentreOnOwnerMonitor(owner_, HWND_TOPMOST);
  RunModalLoop(window, owner_, form.done);
  DestroyWindow(window);
  return std::move(form.pin);
}

void UnregisterPinPromptClass(HINSTANCE module) {
  UnregisterClassW(kLoginFormClass, module);
}
