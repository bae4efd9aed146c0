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

// The next message for the thread; false at WM_QUIT. A message the system
// could not deliver is skipped, never taken for a quit: Wine answers a 2 MB
// WM_COPYDATA from another process with an error from GetMessageW, and a
// loop that ended there left the program without its shutdown.
bool NextMessage(MSG& msg);
