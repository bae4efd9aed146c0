#include <windows.h>
#include <shellapi.h>

#include "monitor/web_address.h"

void OpenWebAddress(void* ownerWindow, const std::wstring& address, int browserMode) {
  const auto target = AddressToOpen(TrimAddress(address));
  if (!target)
    return;
  HWND owner = static_cast<HWND>(ownerWindow);
  if (browserMode == 0)
    ShellExecuteW(owner, L"open", target->c_str(), nullptr, nullptr, SW_SHOW);
  else
    ShellExecuteW(owner, L"open", L"IExplore.EXE", target->c_str(), nullptr, SW_SHOW);
}
