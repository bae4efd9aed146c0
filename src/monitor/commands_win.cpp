#include <windows.h>

#include <vector>

#include "config/fixed_names.h"
#include "monitor/commands.h"

void SendCopyDataCommand(const std::wstring& text,
                         const std::wstring& className,
                         void* senderWindow) {
  std::vector<wchar_t> buffer(text.begin(), text.end());
  buffer.push_back(L'\0');
  HWND target = FindWindowW(className.c_str(), nullptr);
  if (!target)
    return;
  COPYDATASTRUCT data{};
  data.dwData = 0;  // a command, as the monitor itself reads non-1 values
  data.cbData = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  data.lpData = buffer.data();
  SendMessageW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(senderWindow),
               reinterpret_cast<LPARAM>(&data));
}

void AnswerOpenPromptNo(const std::wstring& caption) {
  if (HWND prompt = FindWindowW(nullptr, caption.c_str()))
    SendMessageW(prompt, WM_COMMAND, IDNO, 0);
}

void CloseDialogsOnRemoval(int tokenCount, const std::wstring& promptCaption) {
  for (const wchar_t* cls :
       {names::kSettingsDialogClass, names::kCheckSysDialogClass, names::kPinDialogClass})
    if (HWND dialog = FindWindowW(cls, nullptr))
      SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  if (tokenCount <= 0)
    AnswerOpenPromptNo(promptCaption);
}
