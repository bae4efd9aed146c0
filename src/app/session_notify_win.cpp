#include "app/session_notify_win.h"

#include "base/system_library_win.h"

namespace {

template <class Fn, class... Args>
bool CallWtsapi(const char* name, Args... args) {
  const auto fn = SystemFunction<Fn>(L"Wtsapi32.dll", name);
  return fn != nullptr && fn(args...) != FALSE;
}

}  // namespace

bool RegisterSessionNotification(HWND window) {
  using Register = BOOL(WINAPI*)(HWND, DWORD);
  return CallWtsapi<Register>("WTSRegisterSessionNotification", window,
                              static_cast<DWORD>(0) /* NOTIFY_FOR_THIS_SESSION */);
}

bool UnregisterSessionNotification(HWND window) {
  using Unregister = BOOL(WINAPI*)(HWND);
  return CallWtsapi<Unregister>("WTSUnRegisterSessionNotification", window);
}
