#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "base/corvanex_mgr_abi.h"

// What the token library tells about tokens, certificates and PINs, laid
// out as it crosses the boundary.

inline constexpr int kTokenTableSize = 17;
inline constexpr int kMaxContainerNames = 65;
inline constexpr int kMaxStandaloneHandles = cmgr::kMaxStandaloneCerts;
inline constexpr int kCertDataSize = cmgr::kCertDataSize;

struct TV9Info {
  char Label[33] = {};
  char Manufacturer[129] = {};
  char Model[65] = {};
  char Serial[65] = {};
  // 1st maximum PIN length, 2nd minimum PIN length, 10th initialised flag.
  std::int32_t Properties[10] = {};
  std::int32_t MaxPinLength() const { return Properties[0]; }
  std::int32_t MinPinLength() const { return Properties[1]; }
  bool IsInitialised() const { return Properties[9] != 0; }
  std::int32_t ContainerCount = 0;
  std::array<std::string, kMaxContainerNames> ContainerNames;  // 8-bit, as the library gave them
};

struct TV9CertInfo {
  std::array<unsigned char, kCertDataSize> CertData = {};
  std::int32_t CertLen = 0;
  std::wstring SubjectName;
  std::wstring IssuerName;
  std::int32_t Version = 0;
  std::string SerialNumber;
  std::wstring NotBeforeText;  // "yyyy-mm-dd"
  std::wstring NotAfterText;
  std::int32_t NotBefore[3] = {};  // year, month, day
  std::int32_t NotAfter[3] = {};
  cmgr::CertKind Kind = cmgr::kUserCertificate;  // as the library said, whatever its value
};

// Six values; the 5th is 1 when the PIN is locked, the 6th when it is still
// the factory default.
struct PinState : std::array<std::int32_t, 6> {
  bool IsLocked() const { return (*this)[4] == 1; }
  bool IsStillDefault() const { return (*this)[5] == 1; }
};

// Tokens by index, in the order of the last search.
using TokenTableArray = std::array<TV9Info, kTokenTableSize>;
