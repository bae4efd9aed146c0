#pragma once
#include <windows.h>

#include <optional>
#include <string>

// Bringing the monitor back after an update's installer has ended. The
// installer runs elevated and ends this monitor; what starts the new one must
// run as the user, unelevated, and must not hold any file the installer
// replaces. So a copy of this program in the per-user update folder waits for
// the installer's process and then starts the monitor from its own folder.

// Copies this program to helperPath and starts it waiting for installer;
// false when either step fails (the installer still runs; the monitor then
// comes back at the next sign-in).
bool StartRestartAfter(HANDLE installer,
                       const std::wstring& helperPath,
                       const std::wstring& monitor);

// For the copy: when commandLine is the helper's, waits, starts the monitor
// and gives the exit code; nothing for any other command line.
std::optional<int> RunAsRestartHelper(const wchar_t* commandLine);
