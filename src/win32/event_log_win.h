#pragma once
#include <string>
#include <vector>

#include "config/monitor_events.h"

// Writes one of the monitor's events to the Application log, with its texts
// in the order its message names them. Failures are swallowed: the log is
// for administrators, never a reason for the monitor to stop.
void ReportMonitorEvent(MonitorEvent event, const std::vector<std::wstring>& texts);
