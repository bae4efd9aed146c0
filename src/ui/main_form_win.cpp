#include "ui/main_form_win.h"

#include <shellapi.h>
#include <wtsapi32.h>

#include <optional>

#include "app/session_notify_win.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "i18n/language_win.h"
#include "i18n/res_strs.h"
#include "config/monitor_log.h"
#include "config/profile.h"
#include "monitor/commands.h"
#include "monitor/program_flags.h"
#include "monitor/web_address.h"
#include "win32/unique_handle_win.h"
#include "win32/files_win.h"

namespace {

constexpr int kClientWidth = 347, kClientHeight = 192;
constexpr int kDesignLeft = 431, kDesignTop = 366;
constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr UINT_PTR kTimerBase = 100;  // timer ids: kTimerBase + MonitorTimer
constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

HICON MainIcon() { return LoadIconW(GetModuleHandleW(nullptr), L"MAINICON"); }

}  // namespace

TMainForm::TMainForm(HWND applicationWindow)
    : applicationWindow_(applicationWindow), exeDir_(ExecutableFolder()) {}

std::unique_ptr<TMainForm> TMainForm::Create(HWND applicationWindow) {
  std::unique_ptr<TMainForm> form(new TMainForm(applicationWindow));
  if (!form->CreateWindowOfClass(names::kMainWindowClass, L"",
                                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0,
                                 applicationWindow, MainIcon()))
    return nullptr;
  form->FormCreate();
  form->trayIcon_->Startup();  // the window has loaded
  return form;
}

TMainForm::~TMainForm() = default;

int TMainForm::Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }

void TMainForm::FormCreate() {
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);

  // Fixed client size and designed place, scaled with the screen's DPI.
  RECT frame{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  AdjustWindowRectEx(&frame, GetWindowLongW(hwnd(), GWL_STYLE), FALSE,
                     GetWindowLongW(hwnd(), GWL_EXSTYLE));
  SetWindowPos(hwnd(), nullptr, Scale(kDesignLeft), Scale(kDesignTop), frame.right - frame.left,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);

  trayIcon_ = std::make_unique<TCoolTrayIcon>(hwnd(), applicationWindow_);
  trayIcon_->OnClick = [this] { CoolTrayIcon1Click(); };
  trayIcon_->OnStartup = [this](bool& show) { CoolTrayIcon1Startup(show); };
  CreateAboutView();
  CreateTrayMenu();

  ApplyLanguageTexts();  // before anything else: what follows may already show texts
  InitMonitor();
  SessionNotifyRegistered = RegisterSessionNotification(hwnd());
}

void TMainForm::InitMonitor() {
  library_ = std::make_unique<DllTokenLibrary>(exeDir_ + L"CorvanexMgr.dll");
  MonitorPorts& ports = *this;
  session_ = std::make_unique<TokenSession>(*library_, ports, ResStrs, AppConfig);
  usb_ = std::make_unique<TUSB>();
  usb_->OnArrival = [this](TUSB& usb) { session_->USBArrival(usb.ProductID); };
  usb_->OnRemoval = [this](TUSB& usb) { session_->USBRemoval(usb.ProductID); };
  session_->InitMonitor();
}

void TMainForm::CreateAboutView() {
  struct Spec {
    ControlId id;
    const wchar_t* cls;
    DWORD style;
    int x, y, w, h;
  };
  const Spec specs[] = {
      {kButton1, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, 257, 19, 75, 25},
      {kImage1, L"STATIC", SS_ICON, 21, 24, 32, 32},
      {kLabel1, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 24, 180, 16},
      {kLversion, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 43, 180, 16},
      {kLabel4, L"STATIC", SS_RIGHT | SS_NOPREFIX, 72, 85, 36, 16},
      {kLabel5, L"STATIC", SS_RIGHT | SS_NOPREFIX, 72, 112, 36, 16},
      {kLabel7, L"STATIC", SS_LEFT | SS_NOTIFY | SS_NOPREFIX, 114, 85, 220, 16},
      {kLabel8, L"STATIC", SS_LEFT | SS_NOTIFY | SS_NOPREFIX, 114, 112, 220, 16},
      {kBevel1, L"STATIC", SS_ETCHEDHORZ, -21, 142, 406, 2},
      {kLabel6, L"STATIC", SS_LEFT | SS_NOPREFIX, 41, 162, 264, 16},
  };
  for (const Spec& s : specs)
    CreateWindowExW(0, s.cls, L"", WS_CHILD | WS_VISIBLE | s.style, Scale(s.x), Scale(s.y),
                    Scale(s.w), Scale(s.h), hwnd(), reinterpret_cast<HMENU>(INT_PTR{s.id}),
                    GetModuleHandleW(nullptr), nullptr);
}

void TMainForm::CreateTrayMenu() {
  popupMenu1_.reset(CreatePopupMenu());
  for (UINT id : {kN1, kN4, kN2}) AppendMenuW(popupMenu1_.get(), MF_STRING, id, L"");
  SetMenuDefaultItem(popupMenu1_.get(), kN1, FALSE);
  trayIcon_->SetPopupMenu(popupMenu1_.get(), [this](UINT id) { OnMenuCommand(id); });
}

void TMainForm::ApplyLanguageTexts() {
  // 1. Font: a size that is not a decimal number keeps the current one.
  LOGFONTW lf{};
  if (font_) GetObjectW(font_.get(), sizeof lf, &lf);
  else lf.lfHeight = -MulDiv(9, dpi_, 72);
  if (auto points = ParseDecimal(ResStrs.FontSize, 4); points && *points > 0) lf.lfHeight = -MulDiv(*points, dpi_, 72);
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfWeight = FW_NORMAL;
  lstrcpynW(lf.lfFaceName, ResStrs.FontName.c_str(), LF_FACESIZE);
  font_.reset(CreateFontIndirectW(&lf));
  LOGFONTW link{};
  link.lfHeight = -Scale(11);
  link.lfUnderline = TRUE;
  link.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(link.lfFaceName, L"Tahoma", LF_FACESIZE);
  linkFont_.reset(CreateFontIndirectW(&link));
  for (HWND child = GetWindow(hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = GetDlgCtrlID(child);
    const HGDIOBJ f = (id == kLabel7 || id == kLabel8) ? linkFont_.get() : font_.get();
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
  }

  // 2. Action captions; the menu items follow their actions.
  const std::pair<UINT, const std::wstring*> captions[] = {
      {kN1, &ResStrs.Main_Form_PopupMenu_listMain},
      {kN4, &ResStrs.Main_Form_PopupMenu_Advanced},
      {kN2, &ResStrs.Main_Form_PopupMenu_Close}};
  for (const auto& [id, text] : captions) {
    // Only the text: the default item keeps its mark.
    MENUITEMINFOW item{sizeof item};
    item.fMask = MIIM_STRING;
    item.dwTypeData = const_cast<wchar_t*>(text->c_str());
    SetMenuItemInfoW(popupMenu1_.get(), id, FALSE, &item);
  }

  // 3.-6. Title and the About view.
  SetWindowTextW(hwnd(), ResStrs.Main_Form_PopupMenu_About.c_str());
  SetDlgItemTextW(hwnd(), kLabel4, ResStrs.About_Form_Label_URL.c_str());
  SetDlgItemTextW(hwnd(), kLabel5, ResStrs.About_Form_Label_Email.c_str());
  SetDlgItemTextW(hwnd(), kLabel6, ResStrs.About_Form_label_CopyRight.c_str());
  SetDlgItemTextW(hwnd(), kLabel7, ResStrs.About_Form_Label_URL_Info.c_str());
  SetDlgItemTextW(hwnd(), kLabel8, ResStrs.About_Form_Label_Email_Info.c_str());
  SetDlgItemTextW(hwnd(), kLabel1, ResStrs.P_Caption.c_str());
  SetDlgItemTextW(hwnd(), kLversion, GetFileVersionText(ModuleFileName(nullptr)).c_str());
  SetDlgItemTextW(hwnd(), kButton1, ResStrs.C_Btn_Confirm.c_str());

  // 7.-9. Icons and the tray hint.
  SendMessageW(Control(kImage1), STM_SETICON, reinterpret_cast<WPARAM>(MainIcon()), 0);
  trayIcon_->SetIcon(MainIcon());
  trayIcon_->SetHint(ResStrs.P_Caption);
}

void TMainForm::OnMenuCommand(UINT id) {
  switch (id) {
    case kN1: AcShowMainExecute(); break;
    case kN4: AcAdvancedExecute(); break;
    case kN2: AcExitExecute(); break;
    default: break;
  }
}

void TMainForm::AcShowMainExecute() {
  // The shell is asked every time; the manager decides whether to run twice.
  const std::wstring path = exeDir_ + ResStrs.CallMainAppName;
  ShellExecuteW(hwnd(), L"open", path.c_str(), nullptr, nullptr, SW_SHOW);
}

void TMainForm::AcAdvancedExecute() {
  if (PinDialogBusy) return;
  if (HWND open = FindWindowW(L"TProjectConfigForm", nullptr)) {
    SetForegroundWindow(open);
    return;
  }
  // The settings dialog is shown here; whatever the user did there, the
  // settings and the language are taken again from the user's file.
  SelectLanguageAfterSettingsDialog(exeDir_);
  ApplyLanguageTexts();
}

void TMainForm::AcExitExecute() {
  ExitRequested = true;
  PostMessageW(hwnd(), WM_CLOSE, 0, 0);
}

void TMainForm::AcAboutExecute() { trayIcon_->ShowMainWindow(); }

void TMainForm::Button1Click() { trayIcon_->HideMainWindow(); }

void TMainForm::Label7Click() {
  wchar_t text[1024] = {};
  GetDlgItemTextW(hwnd(), kLabel7, text, 1024);
  ShellExecuteW(hwnd(), L"open", text, nullptr, nullptr, SW_SHOW);
}

void TMainForm::Label8Click() {
  wchar_t text[1024] = {};
  GetDlgItemTextW(hwnd(), kLabel8, text, 1024);
  const std::wstring mail = std::wstring(L"mailto:") + text;
  ShellExecuteW(hwnd(), L"open", mail.c_str(), nullptr, nullptr, SW_SHOW);
}

void TMainForm::CoolTrayIcon1Click() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void TMainForm::CoolTrayIcon1Startup(bool& showMainForm) { showMainForm = false; }

void TMainForm::FormDestroy() {
  usb_.reset();  // no device notifications during shutdown
  session_->Shutdown();
  trayIcon_.reset();
  if (SessionNotifyRegistered) UnregisterSessionNotification(hwnd());
}

bool TMainForm::FormCloseQuery() {
  if (ExitRequested || SessionEnding) return true;
  trayIcon_->HideMainWindow();
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
      session_->SearchCountdown = 5;
      session_->RescanTokens();
      break;
    default:
      break;
  }
}

void TMainForm::OnTimer(UINT_PTR id) {
  switch (static_cast<MonitorTimer>(id - kTimerBase)) {
    case MonitorTimer::TFindUSBKey: session_->TFindUSBKeyTimer(); break;
    case MonitorTimer::TCheckInit: session_->TCheckInitTimer(); break;
    case MonitorTimer::TCheckDefaultUPIN: TCheckDefaultUPINTimer(); break;
    case MonitorTimer::TUSBRemove: session_->TUSBRemoveTimer(); break;
    case MonitorTimer::TCloseProject: session_->TCloseProjectTimer(); break;
    case MonitorTimer::TRegCertXE: session_->TRegCertXETimer(); break;
    case MonitorTimer::TAppUpdate: TAppUpdateTimer(); break;
  }
}

// The default-PIN check runs here once it is built; the timer stays one-shot.
void TMainForm::TCheckDefaultUPINTimer() { DisarmTimer(MonitorTimer::TCheckDefaultUPIN); }

// The update check runs here once it is built; the timer stays one-shot.
void TMainForm::TAppUpdateTimer() { DisarmTimer(MonitorTimer::TAppUpdate); }

void TMainForm::ShowBalloon(const std::wstring& text, int iconKind) {
  trayIcon_->ShowBalloon(L"", text, static_cast<std::uint8_t>(iconKind), 10);
}

void TMainForm::SetIconVisible(bool visible) { trayIcon_->SetIconVisible(visible); }

void TMainForm::ShowMessage(const std::wstring& text, unsigned kind) {
  UINT flags = MB_OK;
  if (kind & kInformation) flags |= MB_ICONINFORMATION;
  if (kind & kQuestion) flags |= MB_ICONQUESTION;
  if (kind & kTopmost) flags |= MB_TOPMOST;
  MessageBoxW(hwnd(), text.c_str(), ResStrs.P_MSGTitle.c_str(), flags);
}

void TMainForm::ArmTimer(MonitorTimer timer) {
  SetTimer(hwnd(), kTimerBase + static_cast<UINT_PTR>(timer), TimerInterval(timer), nullptr);
}

void TMainForm::DisarmTimer(MonitorTimer timer) {
  KillTimer(hwnd(), kTimerBase + static_cast<UINT_PTR>(timer));
}

void TMainForm::Wait(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void TMainForm::ExitProgram() {
  ExitRequested = true;
  PostMessageW(hwnd(), WM_CLOSE, 0, 0);
}

TConfigInfo TMainForm::ReadUserSettings() {
  TConfigInfo config{};
  ReadAppConfig(GetUserDataDir() + names::kUserConfigFile, config);
  return config;
}

bool TMainForm::ProviderKeyExists(const std::wstring& providerName) {
  // The product is a 32-bit program: it sees the 32-bit view, in both builds.
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kProviderKey + providerName).c_str(), 0,
                    KEY_READ | KEY_WOW64_32KEY, &raw) != ERROR_SUCCESS)
    return false;
  UniqueRegKey key(raw);
  return true;
}

void TMainForm::WriteLog(const std::wstring& line) { WriteMonitorLog(line); }

void TMainForm::SendToManager(const std::wstring& command) {
  SendCopyDataCommand(command, names::kManagerWindowClass, applicationWindow_);
}

void TMainForm::OpenWebAddress(const std::wstring& address, int browserMode) {
  ::OpenWebAddress(hwnd(), address, browserMode);
}

// The expiry warnings run here once they are built.
void TMainForm::CheckCertificateExpiry(std::int32_t) {}

void TMainForm::CloseDialogsOnRemoval(std::int32_t tokenCount) {
  ::CloseDialogsOnRemoval(tokenCount, ResStrs.P_MSGTitle);
}

LRESULT TMainForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(wp) == kButton1 && HIWORD(wp) == BN_CLICKED) Button1Click();
      if (LOWORD(wp) == kLabel7 && HIWORD(wp) == STN_CLICKED) Label7Click();
      if (LOWORD(wp) == kLabel8 && HIWORD(wp) == STN_CLICKED) Label8Click();
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wp);
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
      SetTextColor(dc, (id == kLabel7 || id == kLabel8) ? kLinkColour : RGB(0, 0, 0));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR: {
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wp));
      if (id == kLabel7 || id == kLabel8) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      return Window::HandleMessage(msg, wp, lp);
    }
    case WM_TIMER:
      OnTimer(wp);
      return 0;
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
