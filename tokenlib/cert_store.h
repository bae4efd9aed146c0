#pragma once
// The certificate half of CorvanexMgr.dll, over crypt32 and the current
// user's system stores "MY", "ROOT" and "CA".
#include <cstdint>
#include <string>

namespace tokenlib {

inline constexpr std::int32_t kErrDecode = 0x80002001;
inline constexpr std::int32_t kErrStore = 0x80002002;

// Decodes a DER certificate: names as readable UTF-16 (at most 256 units plus
// NUL), version (1..3), serial in hex, dates as year, month, day (9 values
// each, the rest 0), kind 1 self-signed CA, 2 other CA, 0 otherwise.
std::int32_t GetCertInfo(const unsigned char* data,
                         std::int32_t length,
                         char16_t* subject,
                         char16_t* issuer,
                         std::int32_t* version,
                         char* serial,
                         std::int32_t* notBefore,
                         std::int32_t* notAfter,
                         std::int32_t* kind);

// Adds to "MY" (replacing a copy already there) linked to container and
// provider with the given key spec.
std::int32_t AddUserCertificate(const std::string& container,
                                const std::string& provider,
                                std::int32_t keySpec,
                                const unsigned char* data,
                                std::int32_t length);
std::int32_t AddCaCertificate(const std::u16string& storeName,
                              const unsigned char* data,
                              std::int32_t length);
// Deletes from "MY" exactly the certificates whose key-provider information
// names provider.
std::int32_t RemoveProviderCertificates(const std::string& provider);

}  // namespace tokenlib
