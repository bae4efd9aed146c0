#include "config/monitor_log.h"

#include <cwchar>

std::wstring MonitorLogFileName(const std::wstring& folder, const LocalDateTime& today) {
  wchar_t date[16];
  std::swprintf(date, std::size(date), L"%04d%02d%02d", today.year % 10000, today.month % 100,
                today.day % 100);
  return folder + L"\\QZ_MonLog" + date + L".txt";
}

std::wstring MonitorLogLine(const std::wstring& timeText, const std::wstring& message) {
  return timeText + L"> " + message + L"\r\n";
}
