#include "win32/modal_win.h"

void RunModalLoop(HWND dialog,
                  HWND owner,
                  const bool& done,
                  const std::function<bool(const MSG&)>& preTranslate) {
  const bool ownerWasEnabled = owner && !EnableWindow(owner, FALSE);
  ShowWindow(dialog, SW_SHOW);
  SetForegroundWindow(dialog);
  SetFocus(GetNextDlgTabItem(dialog, nullptr, FALSE));
  MSG msg;
  bool quit = false;
  while (!done && IsWindow(dialog)) {
    if (!NextMessage(msg)) {
      quit = true;
      break;
    }
    if ((preTranslate && preTranslate(msg)) || IsDialogMessageW(dialog, &msg))
      continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (owner && ownerWasEnabled)
    EnableWindow(owner, TRUE);
  if (quit)
    PostQuitMessage(static_cast<int>(msg.wParam));
}

bool NextMessage(MSG& msg) {
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got > 0)
      return true;
    if (got == 0)
      return false;
    // Not a hot loop should the error persist: wait briefly for input.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}
