#pragma once
#include <cstdint>

// The monitor's events in the Windows Application log, by their documented
// ids; each has its level and text in the executable's message table. The
// texts inserted never hold a PIN or a certificate's contents.
enum class MonitorEvent : std::uint16_t {
  kStarted = 1000,                 // version
  kStopped = 1001,                 //
  kTokenInserted = 1100,           // label, serial
  kCertificatesRegistered = 1101,  // label, count
  kRegistrationFailed = 1102,      // label, code
  kCertificatesRemoved = 1103,     // count
  kPinLocked = 1200,               // label
  kPinStillDefault = 1201,         // label
  kUpdateOffered = 1300,           // installed version, offered version
  kInstallerRefused = 1301,        // reason
  kUpdateStarted = 1302,           // version
  kUpdateNotStarted = 1303,        // the system's error
  kPolicyValueIgnored = 1400,      // value name, reason
};
