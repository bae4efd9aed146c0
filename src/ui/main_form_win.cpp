#include "ui/main_form_win.h"

#include <shellapi.h>

#include "config/fixed_names.h"
#include "i18n/res_strs.h"
#include "base/files_win.h"

namespace {

constexpr int kDesignLeft = 431, kDesignTop = 366;

HICON MainIcon() {
  return LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
}

}  // namespace

TMainForm::TMainForm(HWND applicationWindow,
                     ProgramState& state,
                     MainFormEvents& events,
                     const TResStrs& strings)
    : applicationWindow_(applicationWindow),
      state_(state),
      events_(events),
      strings_(strings),
      exeDir_(ExecutableFolder()) {}

std::unique_ptr<TMainForm> TMainForm::Create(HWND applicationWindow,
                                             ProgramState& state,
                                             MainFormEvents& events,
                                             const TResStrs& strings) {
  std::unique_ptr<TMainForm> form(new TMainForm(applicationWindow, state, events, strings));
  if (!form->CreateWindowOfClass(names::kMainWindowClass, L"",
                                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0,
                                 applicationWindow, MainIcon()))
    return nullptr;
  form->FormCreate();
  return form;
}

void TMainForm::FormCreate() {
  // Fixed client size and designed place, scaled with the window's DPI.
  layout_ = std::make_unique<DialogLayout>(hwnd(), strings_);
  layout_->SetClientSize(AboutView::kClientWidth, AboutView::kClientHeight);
  SetWindowPos(hwnd(), nullptr, layout_->Scale(kDesignLeft), layout_->Scale(kDesignTop), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  about_ = std::make_unique<AboutView>(hwnd(), *layout_);

  trayMenu_.reset(CreatePopupMenu());
  for (UINT id : {kShowManager, kAdvancedSettings, kExit})
    AppendMenuW(trayMenu_.get(), MF_STRING, id, L"");
  SetMenuDefaultItem(trayMenu_.get(), kShowManager, FALSE);
  ApplyLanguageTexts();
}

void TMainForm::AttachTrayIcon(TCoolTrayIcon& trayIcon) {
  trayIcon_ = &trayIcon;
  trayIcon.OnClick = [this] { TrayIconClick(); };
  trayIcon.OnStartup = [](bool& showMainForm) { showMainForm = false; };
  trayIcon.SetPopupMenu(trayMenu_.get(), [this](UINT id) { OnMenuCommand(id); });
  ApplyTrayTexts();
}

void TMainForm::ApplyTrayTexts() {
  if (!trayIcon_)
    return;
  trayIcon_->SetIcon(MainIcon());
  trayIcon_->SetHint(strings_.P_Caption);
}

void TMainForm::ApplyLanguageTexts() {
  about_->ApplyLanguageTexts(MainIcon());
  const std::pair<UINT, const std::wstring*> captions[] = {
      {kShowManager, &strings_.Main_Form_PopupMenu_listMain},
      {kAdvancedSettings, &strings_.Main_Form_PopupMenu_Advanced},
      {kExit, &strings_.Main_Form_PopupMenu_Close}};
  for (const auto& [id, text] : captions) {
    // Only the text: the default item keeps its mark.
    MENUITEMINFOW item{sizeof item};
    item.fMask = MIIM_STRING;
    item.dwTypeData = const_cast<wchar_t*>(text->c_str());
    SetMenuItemInfoW(trayMenu_.get(), id, FALSE, &item);
  }
  SetWindowTextW(hwnd(), strings_.Main_Form_PopupMenu_About.c_str());
  ApplyTrayTexts();
}

void TMainForm::OnMenuCommand(UINT id) {
  switch (id) {
    case kShowManager:
      AcShowMainExecute();
      break;
    case kAdvancedSettings:
      AcAdvancedExecute();
      break;
    case kExit:
      AcExitExecute();
      break;
    default:
      break;
  }
}

void TMainForm::AcShowMainExecute() {
  // The shell is asked every time; the manager decides whether to run twice.
  const std::wstring path = exeDir_ + strings_.CallMainAppName;
  ShellExecuteW(hwnd(), L"open", path.c_str(), nullptr, nullptr, SW_SHOW);
}

void TMainForm::AcAdvancedExecute() {
  if (state_.PinDialogBusy)
    return;
  if (HWND open = FindWindowW(names::kSettingsDialogClass, nullptr)) {
    SetForegroundWindow(open);
    return;
  }
  events_.OnAdvancedSettings();
}

void TMainForm::AcExitExecute() {
  state_.ExitRequested = true;
  PostMessageW(hwnd(), WM_CLOSE, 0, 0);
}

void TMainForm::AcAboutExecute() {
  if (trayIcon_)
    trayIcon_->ShowMainWindow();
}

void TMainForm::TrayIconClick() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool TMainForm::FormCloseQuery() {
  if (state_.ExitRequested || state_.SessionEnding)
    return true;
  if (trayIcon_)
    trayIcon_->HideMainWindow();
  return false;
}

LRESULT TMainForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (about_->IsOkClick(wp) && trayIcon_)
        trayIcon_->HideMainWindow();
      about_->OnCommand(wp);
      return 0;
    case WM_CTLCOLORSTATIC:
      return about_->OnCtlColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_SETCURSOR:
      if (auto answer = about_->OnSetCursor(reinterpret_cast<HWND>(wp)))
        return *answer;
      return Window::HandleMessage(msg, wp, lp);
    case WM_TIMER:
      events_.OnTimer(wp);
      return 0;
    case WM_DPICHANGED:
      layout_->OnDpiChanged(wp, lp);
      about_->ApplyLanguageTexts(MainIcon());
      return 0;
    case WM_COPYDATA:
      if (lp)
        events_.OnCopyData(reinterpret_cast<HWND>(wp),
                           *reinterpret_cast<const COPYDATASTRUCT*>(lp));
      return 0;
    case WM_WTSSESSION_CHANGE:
      events_.OnSessionChange(wp);
      return 0;
    case WM_SETTINGCHANGE:
      // lParam names the area that changed; Group Policy's is "Policy".
      if (lp && lstrcmpiW(reinterpret_cast<LPCWSTR>(lp), L"Policy") == 0) {
        events_.OnPolicyChange();
      }
      return Window::HandleMessage(msg, wp, lp);
    case WM_CLOSE:
      if (FormCloseQuery())
        DestroyWindow(hwnd());
      return 0;
    case WM_QUERYENDSESSION:
      state_.SessionEnding = true;
      return TRUE;
    case WM_ENDSESSION:
      // The process does not outlive a session that really ends: shut down now
      // so no certificate stays behind in the store.
      if (wp) {
        state_.SessionEnding = true;
        DestroyWindow(hwnd());
      }
      return 0;
    case WM_DESTROY:
      events_.OnDestroy();
      PostQuitMessage(0);
      return 0;
    default:
      return Window::HandleMessage(msg, wp, lp);
  }
}
