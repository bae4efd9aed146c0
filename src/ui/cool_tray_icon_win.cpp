#include "ui/cool_tray_icon_win.h"

#include <shellapi.h>

#include "config/fixed_names.h"
#include "win32/window_win.h"

// The record layout with balloon fields but without the GUID and balloon-icon
// fields, whatever the shell version.
static_assert(NOTIFYICONDATAW_V2_SIZE == (sizeof(void*) == 8 ? 952 : 936));

// The hidden window that receives the shell's callbacks for the tray icon
// that owns it. A top-level window, so "TaskbarCreated" reaches it.
class TTrayIconHandler : public Window {
 public:
  explicit TTrayIconHandler(TCoolTrayIcon& icon) : icon_(icon) {
    CreateWindowOfClass(names::kTrayHandlerWindowClass, L"", WS_POPUP, 0, nullptr);
  }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    static const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    switch (msg) {
      case WM_DESTROY:
      case WM_CLOSE:
      case WM_QUERYENDSESSION:
      case WM_QUIT:
      case WM_ENDSESSION:
        return 1;  // neither closes nor holds up the end of the session
      case names::kTrayCallbackMessage:
        if (wp == names::kTrayIconId)
          icon_.HandleCallback(lp);
        return 0;
      default:
        if (msg == taskbarCreated)
          icon_.state_.TaskbarCreated();
        return Window::HandleMessage(msg, wp, lp);
    }
  }

 private:
  TCoolTrayIcon& icon_;
};

TCoolTrayIcon::TCoolTrayIcon(HWND mainWindow, HWND applicationWindow)
    : mainWindow_(mainWindow),
      applicationWindow_(applicationWindow),
      handler_(std::make_unique<TTrayIconHandler>(*this)) {}

TCoolTrayIcon::~TCoolTrayIcon() {
  Notify(ShellCommand::Delete, state_.record());
}

HWND TCoolTrayIcon::handlerWindow() const {
  return handler_->hwnd();
}

bool TCoolTrayIcon::Notify(ShellCommand command, const TrayRecord& record) {
  NOTIFYICONDATAW data{};
  data.cbSize = NOTIFYICONDATAW_V2_SIZE;
  data.hWnd = handlerWindow();
  data.uID = names::kTrayIconId;
  data.uFlags = record.flags;
  data.uCallbackMessage = names::kTrayCallbackMessage;
  data.hIcon = icon_;
  static_assert(sizeof data.szTip / sizeof(wchar_t) == std::tuple_size_v<decltype(record.tip)>);
  static_assert(sizeof data.szInfo / sizeof(wchar_t) == std::tuple_size_v<decltype(record.info)>);
  static_assert(sizeof data.szInfoTitle / sizeof(wchar_t) ==
                std::tuple_size_v<decltype(record.infoTitle)>);
  std::copy(record.tip.begin(), record.tip.end(), data.szTip);
  std::copy(record.info.begin(), record.info.end(), data.szInfo);
  std::copy(record.infoTitle.begin(), record.infoTitle.end(), data.szInfoTitle);
  data.uTimeout = record.timeoutOrVersion;
  data.dwInfoFlags = record.infoFlags;
  static constexpr DWORD kMessages[] = {NIM_ADD, NIM_MODIFY, NIM_DELETE, NIM_SETVERSION};
  return Shell_NotifyIconW(kMessages[static_cast<int>(command)], &data) != FALSE;
}

void TCoolTrayIcon::SetIcon(HICON icon) {
  icon_ = icon;
  state_.UpdateIcon();
}

void TCoolTrayIcon::Startup() {
  bool showMainForm = true;
  if (OnStartup)
    OnStartup(showMainForm);
  if (!showMainForm)
    HideMainWindow();
  state_.Startup();
}

void TCoolTrayIcon::SetPopupMenu(HMENU menu, std::function<void(UINT)> onCommand) {
  menu_ = menu;
  onCommand_ = std::move(onCommand);
}

void TCoolTrayIcon::HandleCallback(LPARAM mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN:
      leftDown_ = true;
      break;
    case WM_LBUTTONUP:
      if (leftDown_ && OnClick)
        OnClick();
      leftDown_ = false;
      break;
    case WM_LBUTTONDBLCLK:
      RunDefaultItem();
      break;
    case WM_RBUTTONDOWN:
      if (menu_) {
        SetForegroundWindow(handlerWindow());
        ShowPopupMenu();
      }
      break;
    default:
      break;
  }
}

void TCoolTrayIcon::RunDefaultItem() {
  if (!menu_ || !onCommand_)
    return;
  const UINT id = GetMenuDefaultItem(menu_, FALSE, 0);
  if (id != static_cast<UINT>(-1))
    onCommand_(id);
}

void TCoolTrayIcon::ShowPopupMenu() {
  POINT at{};
  GetCursorPos(&at);
  HWND handler = handlerWindow();
  SetForegroundWindow(handler);
  MSG pending;
  while (PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&pending);
    DispatchMessageW(&pending);
  }
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menu_, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, handler, nullptr));
  // Lets the menu close properly when the user clicks elsewhere.
  PostMessageW(mainWindow_, WM_NULL, 0, 0);
  if (chosen && onCommand_)
    onCommand_(chosen);
}

void TCoolTrayIcon::ShowMainWindow() {
  if (IsIconic(applicationWindow_))
    ShowWindow(applicationWindow_, SW_RESTORE);
  if (IsIconic(mainWindow_))
    ShowWindow(mainWindow_, SW_RESTORE);
  ShowWindow(mainWindow_, SW_SHOW);
  SetForegroundWindow(mainWindow_);
}

void TCoolTrayIcon::HideMainWindow() {
  ShowWindow(mainWindow_, SW_HIDE);
  if (IsWindowVisible(applicationWindow_))
    ShowWindow(applicationWindow_, SW_HIDE);
}
