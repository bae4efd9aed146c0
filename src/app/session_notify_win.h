#pragma once
#include <windows.h>

// Session connect/unlock notifications through Wtsapi32.dll, loaded from
// System32 only. Each returns true only when the call was made and succeeded.
bool RegisterSessionNotification(HWND window);
bool UnregisterSessionNotification(HWND window);
