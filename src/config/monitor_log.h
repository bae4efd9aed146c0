#pragma once
#include <string>

#include "config/fixed_date.h"

// One line per call into C:\KeyLog\QZ_MonLog<yyyymmdd>.txt, only while that
// folder exists; every failure is swallowed.
void WriteMonitorLog(const std::wstring& message);

// Name of the day's log file inside folder.
std::wstring MonitorLogFileName(const std::wstring& folder, const LocalDateTime& today);
// "<time>> <message>\r\n".
std::wstring MonitorLogLine(const std::wstring& timeText, const std::wstring& message);
