#pragma once
#include <windows.h>

#include <exception>
#include <string>

#include "ui/error_report.h"
#include "base/text_win.h"

// Title of the error box: the application title, set once at start-up.
const std::wstring& ApplicationTitle();
void SetApplicationTitle(const std::wstring& title);

void ReportEscapedError(HWND owner, const char* what);

// Runs one event handler. An error that escapes it is reported in a message
// box owned by owner, and the message loop goes on.
template <class F>
void Guarded(HWND owner, F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ReportEscapedError(owner, e.what());
  } catch (...) {
    ReportEscapedError(owner, "Unknown error");
  }
}
