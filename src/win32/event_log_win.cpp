#include "win32/event_log_win.h"

#include <windows.h>

#include "config/fixed_names.h"
#include "event_messages.h"  // generated from resources/event_messages.mc

namespace {

// The message table's full id (severity bits and all) of an event.
constexpr DWORD MessageId(MonitorEvent event) {
  switch (event) {
    case MonitorEvent::kStarted:
      return EVENT_MONITOR_STARTED;
    case MonitorEvent::kStopped:
      return EVENT_MONITOR_STOPPED;
    case MonitorEvent::kTokenInserted:
      return EVENT_TOKEN_INSERTED;
    case MonitorEvent::kCertificatesRegistered:
      return EVENT_CERTIFICATES_REGISTERED;
    case MonitorEvent::kRegistrationFailed:
      return EVENT_REGISTRATION_FAILED;
    case MonitorEvent::kCertificatesRemoved:
      return EVENT_CERTIFICATES_REMOVED;
    case MonitorEvent::kPinLocked:
      return EVENT_PIN_LOCKED;
    case MonitorEvent::kPinStillDefault:
      return EVENT_PIN_STILL_DEFAULT;
    case MonitorEvent::kUpdateOffered:
      return EVENT_UPDATE_OFFERED;
    case MonitorEvent::kInstallerRefused:
      return EVENT_INSTALLER_REFUSED;
    case MonitorEvent::kUpdateStarted:
      return EVENT_UPDATE_STARTED;
    case MonitorEvent::kUpdateNotStarted:
      return EVENT_UPDATE_NOT_STARTED;
    case MonitorEvent::kPolicyValueIgnored:
      return EVENT_POLICY_VALUE_IGNORED;
  }
  return 0;
}

// The documented id is the message's own number.
constexpr bool IdsAgree() {
  for (MonitorEvent e : {MonitorEvent::kStarted, MonitorEvent::kStopped,
                         MonitorEvent::kTokenInserted, MonitorEvent::kCertificatesRegistered,
                         MonitorEvent::kRegistrationFailed, MonitorEvent::kCertificatesRemoved,
                         MonitorEvent::kPinLocked, MonitorEvent::kPinStillDefault,
                         MonitorEvent::kUpdateOffered, MonitorEvent::kInstallerRefused,
                         MonitorEvent::kUpdateStarted, MonitorEvent::kPolicyValueIgnored})
    if ((MessageId(e) & 0xFFFF) != static_cast<DWORD>(e))
      return false;
  return true;
}
static_assert(IdsAgree(), "event_messages.mc and MonitorEvent disagree");

WORD EventType(DWORD messageId) {
  switch (messageId >> 30) {
    case 3:
      return EVENTLOG_ERROR_TYPE;
    case 2:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

// An event text is bounded; the log refuses records of more than 32K
// characters in all.
constexpr std::size_t kMaxEventText = 2048;

}  // namespace

void ReportMonitorEvent(MonitorEvent event, const std::vector<std::wstring>& texts) {
  // Opened once; the handle lives as long as the process.
  static const HANDLE source = RegisterEventSourceW(nullptr, names::kEventSource);
  if (!source)
    return;
  std::vector<std::wstring> bounded;
  std::vector<LPCWSTR> strings;
  bounded.reserve(texts.size());
  for (const std::wstring& text : texts)
    bounded.push_back(text.substr(0, kMaxEventText));
  for (const std::wstring& text : bounded)
    strings.push_back(text.c_str());
  const DWORD id = MessageId(event);
  ReportEventW(source, EventType(id), 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
               strings.empty() ? nullptr : strings.data(), nullptr);
}
