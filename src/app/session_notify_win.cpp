#include "app/session_notify_win.h"

#include "win32/unique_handle_win.h"

namespace {

template <class Fn, class... Args>
bool CallWtsapi(const char* name, Args... args) {
  UniqueModule wtsapi(LoadLibraryExW(L"Wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!wtsapi)
    return false;
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(wtsapi.get(), name)));
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
