#pragma once
#include <windows.h>

#include <functional>

// Runs a modal message loop for dialog over owner (disabled meanwhile) until
// done is set or the dialog is gone. preTranslate may take a message before
// the dialog keys (Tab, Escape) are handled. A WM_QUIT that arrives is posted
// again for the loop below.
void RunModalLoop(HWND dialog,
                  HWND owner,
                  const bool& done,
                  const std::function<bool(const MSG&)>& preTranslate = {});
