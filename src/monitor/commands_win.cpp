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

namespace {

struct PromptSearch {
  const std::wstring* caption;
  HWND found;
};

BOOL CALLBACK FindOwnPrompt(HWND window, LPARAM lp) {
  auto* search = reinterpret_cast<PromptSearch*>(lp);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId())
    return TRUE;
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  if (*search->caption != text)
    return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

void AnswerOpenPromptNo(const std::wstring& caption) {
  PromptSearch search{&caption, nullptr};
  EnumWindows(FindOwnPrompt, reinterpret_cast<LPARAM>(&search));
  if (search.found)
    SendMessageW(search.found, WM_COMMAND, IDNO, 0);
}

namespace {

// The full path of the program process runs, or empty.
std::wstring ProcessImagePath(DWORD process) {
  const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
  if (!handle)
    return {};
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  const bool known = QueryFullProcessImageNameW(handle, 0, path.data(), &size) != 0;
  CloseHandle(handle);
  path.resize(known ? size : 0);
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                            static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool IsManagerWindow(void* sender, const std::wstring& managerPath) {
  HWND window = static_cast<HWND>(sender);
  if (!window || !IsWindow(window) || GetAncestor(window, GA_ROOT) != window)
    return false;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  return process != GetCurrentProcessId() && std::wstring(cls) == names::kManagerWindowClass &&
         SamePath(ProcessImagePath(process), managerPath);
}

void CloseDialogsOnRemoval(int tokenCount, const std::wstring& promptCaption) {
  for (const wchar_t* cls :
       {names::kSettingsDialogClass, names::kCheckSysDialogClass, names::kPinDialogClass})
    if (HWND dialog = FindWindowW(cls, nullptr))
      SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  if (tokenCount <= 0)
    AnswerOpenPromptNo(promptCaption);
}
