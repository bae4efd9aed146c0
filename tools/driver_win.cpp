// tokendriver: drives the monitor from outside, as Windows, the manager
// application and a user would. Run with --help for the commands.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kUsage[] =
    L"usage: tokendriver COMMAND [OPTIONS]\n"
    L"\n"
    L"Windows:\n"
    L"  wait-window --class NAME [--timeout SECONDS]\n"
    L"      wait until a top-level window of that class exists; print its handle and process id\n"
    L"  count-windows --class NAME\n"
    L"      print how many top-level windows of that class exist\n"
    L"  window-text --class NAME\n"
    L"      print the caption of the first window of that class\n"
    L"  end-session --class NAME [--timeout SECONDS]\n"
    L"      send WM_QUERYENDSESSION then WM_CLOSE, as at logoff, and wait until the window is gone\n";

using Args = std::vector<std::wstring>;

std::wstring Option(const Args& args, const wchar_t* name, const std::wstring& fallback = L"") {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == name) return args[i + 1];
  return fallback;
}

bool WaitFor(const std::function<bool()>& cond, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<HWND> WindowsOfClass(const std::wstring& cls) {
  std::vector<HWND> found;
  for (HWND h = FindWindowExW(nullptr, nullptr, cls.c_str(), nullptr); h;
       h = FindWindowExW(nullptr, h, cls.c_str(), nullptr))
    found.push_back(h);
  return found;
}

int RequireClass(const Args& args, std::wstring* cls) {
  *cls = Option(args, L"--class");
  if (cls->empty()) {
    fwprintf(stderr, L"--class is required\n");
    return 2;
  }
  return 0;
}

int WaitWindow(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls)) return rc;
  const double timeout = _wtof(Option(args, L"--timeout", L"20").c_str());
  HWND hwnd = nullptr;
  if (!WaitFor([&] { return (hwnd = FindWindowW(cls.c_str(), nullptr)) != nullptr; }, timeout)) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wprintf(L"window %ls: handle 0x%llx, process %lu\n", cls.c_str(),
          static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)), pid);
  return 0;
}

int CountWindows(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls)) return rc;
  wprintf(L"%zu\n", WindowsOfClass(cls).size());
  return 0;
}

int WindowText(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls)) return rc;
  HWND hwnd = FindWindowW(cls.c_str(), nullptr);
  if (!hwnd) return 1;
  wchar_t text[1024] = {};
  GetWindowTextW(hwnd, text, 1024);
  wprintf(L"%ls\n", text);
  return 0;
}

int EndSession(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls)) return rc;
  HWND hwnd = FindWindowW(cls.c_str(), nullptr);
  if (!hwnd) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(hwnd, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer);
  wprintf(L"WM_QUERYENDSESSION answered %llu\n", static_cast<unsigned long long>(answer));
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  const double timeout = _wtof(Option(args, L"--timeout", L"20").c_str());
  if (!WaitFor([&] { return !IsWindow(hwnd); }, timeout)) {
    wprintf(L"the window is still there\n");
    return 1;
  }
  wprintf(L"the window is gone\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Args args(argv + 1, argv + argc);
  const std::wstring command = args.empty() ? L"--help" : args[0];
  if (command == L"wait-window") return WaitWindow(args);
  if (command == L"count-windows") return CountWindows(args);
  if (command == L"window-text") return WindowText(args);
  if (command == L"end-session") return EndSession(args);
  fwprintf(command == L"--help" || command == L"-h" ? stdout : stderr, L"%ls", kUsage);
  return command == L"--help" || command == L"-h" ? 0 : 2;
}
