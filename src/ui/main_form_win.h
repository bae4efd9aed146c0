#pragma once
#include <windows.h>

#include <memory>

#include "win32/window_win.h"

// The program's main window: hidden in normal use, found by other programs
// through its class name, owner of the token session and the tray icon.
class TMainForm : public Window {
 public:
  // Creates the window (hidden) and runs FormCreate; null when the window
  // cannot be created.
  static std::unique_ptr<TMainForm> Create(HWND applicationWindow);
  ~TMainForm() override;

  // Offered every queued message before dispatch; never handles one.
  void AppMessage(const MSG& msg);

  bool ExitRequested = false;
  bool SessionEnding = false;
  bool SessionNotifyRegistered = false;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  explicit TMainForm(HWND applicationWindow) : applicationWindow_(applicationWindow) {}
  void FormCreate();
  // Puts the string table's font and texts on the window.
  void ApplyLanguageTexts();
  void FormDestroy();
  bool FormCloseQuery();
  LRESULT WMQueryEndSession();
  void RescanTokens();

  HWND applicationWindow_;
  int SearchCountdown = 5;
};
