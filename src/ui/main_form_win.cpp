#include "ui/main_form_win.h"

#include <wtsapi32.h>

#include "app/session_notify_win.h"
#include "config/fixed_names.h"
#include "i18n/res_strs.h"

std::unique_ptr<TMainForm> TMainForm::Create(HWND applicationWindow) {
  std::unique_ptr<TMainForm> form(new TMainForm(applicationWindow));
  if (!form->CreateWindowOfClass(names::kMainWindowClass, L"",
                                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0,
                                 applicationWindow))
    return nullptr;
  form->FormCreate();
  return form;
}

TMainForm::~TMainForm() = default;

void TMainForm::FormCreate() {
  ApplyLanguageTexts();  // before anything else: what follows may already show texts
  SessionNotifyRegistered = RegisterSessionNotification(hwnd());
}

void TMainForm::ApplyLanguageTexts() {
  SetWindowTextW(hwnd(), ResStrs.Main_Form_PopupMenu_About.c_str());
}

void TMainForm::FormDestroy() {
  if (SessionNotifyRegistered) UnregisterSessionNotification(hwnd());
}

bool TMainForm::FormCloseQuery() {
  if (ExitRequested || SessionEnding) return true;
  ShowWindow(hwnd(), SW_HIDE);
  return false;
}

LRESULT TMainForm::WMQueryEndSession() {
  SessionEnding = true;
  return TRUE;
}

void TMainForm::AppMessage(const MSG& msg) {
  if (msg.message != WM_WTSSESSION_CHANGE) return;
  switch (msg.wParam) {
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
    case WTS_SESSION_UNLOCK:
      SearchCountdown = 5;
      RescanTokens();
      break;
    default:
      break;
  }
}

void TMainForm::RescanTokens() {}

LRESULT TMainForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      if (FormCloseQuery()) DestroyWindow(hwnd());
      return 0;
    case WM_QUERYENDSESSION:
      return WMQueryEndSession();
    case WM_ENDSESSION:
      // The process does not outlive a session that really ends: shut down now
      // so no certificate stays behind in the store.
      if (wp) {
        SessionEnding = true;
        DestroyWindow(hwnd());
      }
      return 0;
    case WM_DESTROY:
      FormDestroy();
      PostQuitMessage(0);
      return 0;
    default:
      return Window::HandleMessage(msg, wp, lp);
  }
}
