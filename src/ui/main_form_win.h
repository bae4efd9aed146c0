#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "monitor/token_session.h"
#include "monitor/usb_device_win.h"
#include "token/token_library_win.h"
#include "ui/cool_tray_icon_win.h"
#include "win32/unique_handle_win.h"
#include "win32/window_win.h"

// The program's main window: hidden in normal use, found by other programs
// through its class name, owner of the tray icon with its menu and of the
// token session; its client area is the About view.
class TMainForm : public Window, private MonitorPorts {
 public:
  // Control ids of the About view (also how tests find them).
  enum ControlId : int {
    kImage1 = 101, kLabel1, kLversion, kLabel4, kLabel5, kLabel6, kLabel7, kLabel8, kBevel1,
    kButton1
  };
  // Tray menu items.
  enum MenuId : UINT { kN1 = 1, kN4 = 2, kN2 = 3 };

  // Creates the window (hidden) and runs FormCreate; null when the window
  // cannot be created.
  static std::unique_ptr<TMainForm> Create(HWND applicationWindow);
  ~TMainForm() override;

  // Offered every queued message before dispatch; never handles one.
  void AppMessage(const MSG& msg);

  bool ExitRequested = false;
  bool SessionEnding = false;
  bool SessionNotifyRegistered = false;

  HMENU PopupMenu1() const { return popupMenu1_.get(); }

  // Puts the string table's font, texts and icons on the window and tray icon.
  void ApplyLanguageTexts();
  void AcShowMainExecute();
  void AcAdvancedExecute();
  void AcExitExecute();
  void AcAboutExecute();

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  explicit TMainForm(HWND applicationWindow);
  void FormCreate();
  void FormDestroy();
  bool FormCloseQuery();
  LRESULT WMQueryEndSession();
  void InitMonitor();
  void OnTimer(UINT_PTR id);
  void TCheckDefaultUPINTimer();
  void TAppUpdateTimer();
  void CreateAboutView();
  void CreateTrayMenu();
  void Button1Click();
  void Label7Click();
  void Label8Click();
  void CoolTrayIcon1Click();
  void CoolTrayIcon1Startup(bool& showMainForm);
  void OnMenuCommand(UINT id);
  int Scale(int pixels) const;
  HWND Control(ControlId id) const { return GetDlgItem(hwnd(), id); }

  HWND applicationWindow_;
  std::wstring exeDir_;
  std::unique_ptr<TCoolTrayIcon> trayIcon_;
  UniqueMenu popupMenu1_;
  UniqueGdiObject font_;
  UniqueGdiObject linkFont_;
  int dpi_ = 96;
  std::unique_ptr<DllTokenLibrary> library_;
  std::unique_ptr<TokenSession> session_;
  std::unique_ptr<TUSB> usb_;

  // What the token session asks of the window and the system.
  void ShowBalloon(const std::wstring& text, int iconKind) override;
  void SetIconVisible(bool visible) override;
  void ShowMessage(const std::wstring& text, unsigned kind) override;
  void ArmTimer(MonitorTimer timer) override;
  void DisarmTimer(MonitorTimer timer) override;
  void Wait(int milliseconds) override;
  void ExitProgram() override;
  TConfigInfo ReadUserSettings() override;
  bool ProviderKeyExists(const std::wstring& providerName) override;
  void WriteLog(const std::wstring& line) override;
  void SendToManager(const std::wstring& command) override;
  void OpenWebAddress(const std::wstring& address, int browserMode) override;
  void CheckCertificateExpiry(std::int32_t token) override;
  void CloseDialogsOnRemoval(std::int32_t tokenCount) override;
};
