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
    // A count only where the token gave one: PKCS#11 tells no more than
    // "the final try".
    const std::wstring tries = request.triesLeft ? SafeFormat(strings.K_ISTry, {*request.triesLeft})
                               : request.afterWrongPin ? strings.K_PIN_Error
                                                       : std::wstring();
    SetDlgItemTextW(window, kLoginTriesText, tries.c_str());
    SetDlgItemTextW(window, kLoginButton, strings.Login_Form_btn_OK.c_str());
    SetDlgItemTextW(window, kLoginCancelButton, strings.Login_Form__btn_cancel.c_str());
  }

  void Close(HWND window, bool login) {
    if (login) {
      const HWND edit = GetDlgItem(window, kLoginPinEdit);
      // An empty PIN would cost the token a try and prove nothing.
      if (GetWindowTextLengthW(edit) == 0) {
        MessageBeep(MB_ICONWARNING);
        SetFocus(edit);
        return;
      }
      pin = TakePinEdit(edit, true);
    }
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
  const HWND named = owner_ ? owner_() : nullptr;
  const HWND owner = OwnerOnThisThread(named);
  LoginForm form{strings_, request};
  const HWND window = CreateWindowExW(
      WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kLoginFormClass, L"", WS_POPUP | WS_CAPTION | WS_SYSMENU,
      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, module_, &form);
  if (!window)
    return std::nullopt;
  form.layout = std::make_unique<DialogLayout>(window, strings_);
  form.layout->CreateControls(kDesign);
  MakePinEdit(GetDlgItem(window, kLoginPinEdit), kPinChars);
  form.ApplyTexts(window);
  form.layout->SetClientSize(kWidth, kHeight);
  // Over the program's window even when another thread owns it.
  form.layout->CentreOnOwnerMonitor(IsWindow(named) ? named : nullptr, HWND_TOPMOST);
  RunModalLoop(window, owner, form.done);
  DestroyWindow(window);
  return std::move(form.pin);
}

bool CanPromptHere() {
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE);
}

HWND OwnerOnThisThread(HWND window) {
  return window && IsWindow(window) &&
                 GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()
             ? window
             : nullptr;
}
