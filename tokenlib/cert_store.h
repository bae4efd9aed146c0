#pragma once
// The certificate half of CorvanexMgr.dll, over crypt32 and the current
// user's system stores "MY", "ROOT" and "CA".
#include <windows.h>

#include <cstdint>
#include <string>

#include "base/corvanex_mgr_abi.h"

namespace tokenlib {

inline constexpr std::int32_t kErrDecode = 0x80002001;
inline constexpr std::int32_t kErrStore = 0x80002002;
inline constexpr std::int32_t kErrBlankProvider = cmgr::kArgumentsBad;

// Decodes a DER certificate: names as readable UTF-16, version (1..3),
// serial in hex, dates on the user's local calendar, and its kind.
std::int32_t GetCertInfo(const unsigned char* data, std::int32_t length, cmgr::CertInfo* info);
// A UTC instant as a date block (year, month, day, hour, minute, second) on
// the calendar of zone; nullptr is the user's time zone.
void LocalDateBlock(const FILETIME& when, const TIME_ZONE_INFORMATION* zone, std::int32_t* out);

// Adds to "MY", linked to container and provider with the given key spec and
// marked as ours. A copy of ours already there is replaced; one without our
// mark is the user's, whatever its provider, and is left as it is (0 all the
// same: the certificate is in the store).
std::int32_t AddUserCertificate(const std::string& container,
                                const std::string& provider,
                                std::int32_t keySpec,
                                const unsigned char* data,
                                std::int32_t length);
// Adds to "ROOT" or "CA"; cmgr::kRootDeclined when the user declined the
// system's prompt for a new root.
std::int32_t AddCaCertificate(const std::u16string& storeName,
                              const unsigned char* data,
                              std::int32_t length);
// Deletes from "MY" every certificate that carries our mark and is linked to
// provider, and nothing else; a blank provider is refused (kErrBlankProvider).
// The stores opened for the pass are closed afterwards.
std::int32_t RemoveProviderCertificates(const std::string& provider);
// Deletes from "MY" every certificate that carries our mark, whatever
// provider it is linked to: what a run that never ended left behind.
std::int32_t RemoveMarkedCertificates();
// Opens, off the caller's thread, the stores whose first open is slow, so a
// first insertion does not wait for them; at the library's start.
void PrepareUserStores();
// Closes the stores kept open across calls; at the library's end.
void CloseUserStores();

}  // namespace tokenlib
