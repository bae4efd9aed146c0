#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "ui/tray_icon.h"

// The tray icon component of the main window: one NOTIFYICONDATAW for its
// life, mouse notifications through its own hidden TTrayIconHandler window.
class TTrayIconHandler;
class TCoolTrayIcon : private TrayShell {
 public:
  TCoolTrayIcon(HWND mainWindow, HWND applicationWindow);
  ~TCoolTrayIcon() override;
  TCoolTrayIcon(const TCoolTrayIcon&) = delete;
  TCoolTrayIcon& operator=(const TCoolTrayIcon&) = delete;

  bool IconVisible() const { return state_.IconVisible(); }
  void SetIconVisible(bool visible) { state_.SetIconVisible(visible); }
  void SetIcon(HICON icon);  // not owned
  void SetHint(const std::wstring& hint) { state_.SetHint(hint); }
  bool ShowBalloon(const std::wstring& title,
                   const std::wstring& text,
                   std::uint8_t iconKind,
                   std::uint8_t timeoutSeconds) {
    return state_.ShowBalloon(title, text, iconKind, timeoutSeconds);
  }
  bool HideBalloon() { return state_.HideBalloon(); }
  void ShowMainWindow();
  void HideMainWindow();

  // Runs OnStartup and sets the shell up; called once the window is loaded.
  void Startup();

  // The menu shown on a right click; its default item runs on a double click.
  void SetPopupMenu(HMENU menu, std::function<void(UINT)> onCommand);
  std::function<void()> OnClick;
  std::function<void(bool& showMainForm)> OnStartup;

  HWND handlerWindow() const;

 private:
  friend class TTrayIconHandler;
  bool Notify(ShellCommand command, const TrayRecord& record) override;
  void HandleCallback(LPARAM mouseMessage);
  void ShowPopupMenu();
  void RunDefaultItem();

  HWND mainWindow_;
  HWND applicationWindow_;
  HICON icon_ = nullptr;
  HMENU menu_ = nullptr;
  std::function<void(UINT)> onCommand_;
  bool leftDown_ = false;
  TrayIconState state_{*this};
  std::unique_ptr<TTrayIconHandler> handler_;
};
