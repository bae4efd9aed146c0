#include <windows.h>
#include <shellapi.h>

#include "monitor/web_address.h"

void OpenWebAddress(void* ownerWindow, const std::wstring& address, int browserMode) {
  const std::wstring trimmed = TrimAddress(address);
  if (!IsWebAddress(trimmed))
    return;
  HWND owner = static_cast<HWND>(ownerWindow);
  if (browserMode == 0)
    ShellExecuteW(owner, L"open", trimmed.c_str(), nullptr, nullptr, SW_SHOW);
  else
    ShellExecuteW(owner, L"open", L"IExplore.EXE", trimmed.c_str(), nullptr, SW_SHOW);
}
