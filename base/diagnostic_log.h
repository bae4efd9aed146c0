#pragma once
#include <cstdio>
#include <string>

// The diagnostic log: C:\KeyLog\QZ_MonLog<yyyymmdd>.txt, one line per call,
// written by the monitor and by the library in its process, only while that
// folder exists; every failure is swallowed.
void WriteDiagnosticLog(const std::wstring& message);

// Name of the day's log file inside folder.
inline std::wstring DiagnosticLogFileName(const std::wstring& folder,
                                          int year,
                                          int month,
                                          int day) {
  wchar_t date[16];
  std::swprintf(date, std::size(date), L"%04d%02d%02d", year % 10000, month % 100, day % 100);
  return folder + L"\\QZ_MonLog" + date + L".txt";
}

// "<time>> <message>\r\n".
inline std::wstring DiagnosticLogLine(const std::wstring& timeText, const std::wstring& message) {
  return timeText + L"> " + message + L"\r\n";
}
