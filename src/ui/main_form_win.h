#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "i18n/res_strs.h"
#include "monitor/program_state.h"
#include "ui/about_view_win.h"
#include "ui/cool_tray_icon_win.h"
#include "base/unique_handle_win.h"
#include "win32/window_win.h"

// What the main window's messages mean to the rest of the program.
class MainFormEvents {
 public:
  virtual ~MainFormEvents() = default;
  virtual void OnTimer(UINT_PTR id) = 0;
  // WM_WTSSESSION_CHANGE, posted or sent.
  virtual void OnSessionChange(WPARAM reason) = 0;
  // WM_COPYDATA from another program; the sender always gets 0 back.
  // sender: the window the message names as its own (wParam).
  virtual void OnCopyData(HWND sender, const COPYDATASTRUCT& message) = 0;
  // Windows announced a change of Group Policy (WM_SETTINGCHANGE "Policy").
  virtual void OnPolicyChange() = 0;
  // The window is going away: the program's shutdown.
  virtual void OnDestroy() = 0;
  // The user asked for the advanced settings (no settings or PIN dialog is
  // open); the texts are applied again afterwards.
  virtual void OnAdvancedSettings() = 0;
};

// The program's main window: hidden in normal use, found by other programs
// through its class name; its client area is the About view, and it owns the
// tray menu and the menu's actions.
class TMainForm : public Window {
 public:
  enum MenuItem : UINT { kShowManager = 1, kAdvancedSettings, kExit };

  // Creates the window (hidden) with the About view and the tray menu; null
  // when the window cannot be created.
  static std::unique_ptr<TMainForm> Create(HWND applicationWindow,
                                           ProgramState& state,
                                           MainFormEvents& events,
                                           const TResStrs& strings);

  // The tray icon shows this window's menu and hint; texts are applied here.
  void AttachTrayIcon(TCoolTrayIcon& trayIcon);
  HMENU TrayMenu() const { return trayMenu_.get(); }

  // Puts the string table's font, texts and icons on the window and tray icon.
  void ApplyLanguageTexts();
  void AcShowMainExecute();
  void AcAdvancedExecute();
  void AcExitExecute();
  void AcAboutExecute();

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  TMainForm(HWND applicationWindow,
            ProgramState& state,
            MainFormEvents& events,
            const TResStrs& strings);
  void FormCreate();
  void ApplyTrayTexts();
  bool FormCloseQuery();
  void OnMenuCommand(UINT id);
  void TrayIconClick();

  HWND applicationWindow_;
  ProgramState& state_;
  MainFormEvents& events_;
  const TResStrs& strings_;
  std::wstring exeDir_;
  std::unique_ptr<DialogLayout> layout_;
  std::unique_ptr<AboutView> about_;
  UniqueMenu trayMenu_;
  TCoolTrayIcon* trayIcon_ = nullptr;
};
