#pragma once
// The CryptoAPI numbers the provider's portable core speaks: algorithm ids,
// key-blob types, parameter ids and error codes. Named here without
// <wincrypt.h>; the Windows side checks each against the system's own name.
#include <cstdint>

namespace capi {

using Status = std::uint32_t;  // 0, or an NTE_/SCARD_/Win32 error code

// Algorithm ids.
inline constexpr std::uint32_t kMd5 = 0x8003, kSha1 = 0x8004, kSsl3ShaMd5 = 0x8008,
                               kSha256 = 0x800c, kSha384 = 0x800d, kSha512 = 0x800e;
inline constexpr std::uint32_t kRsaSign = 0x2400, kRsaKeyExchange = 0xa400;

// Key specs: what CryptGetUserKey asks for, and the token library's numbers.
inline constexpr std::uint32_t kAtKeyExchange = 1, kAtSignature = 2;

// Key blobs.
inline constexpr std::uint8_t kSimpleBlob = 0x1, kPublicKeyBlob = 0x6, kPlainTextKeyBlob = 0x8;
inline constexpr std::uint8_t kCurrentBlobVersion = 2;
inline constexpr std::uint32_t kRsa1Magic = 0x31415352;  // "RSA1"

// Flags.
inline constexpr std::uint32_t kNoHashOid = 0x1;  // CRYPT_NOHASHOID for CryptSignHash

// Errors.
inline constexpr Status kOk = 0;
inline constexpr Status kMoreData = 234;  // ERROR_MORE_DATA
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kBadUid = 0x80090001, kBadHash = 0x80090002, kBadKey = 0x80090003,
                        kBadLength = 0x80090004, kBadData = 0x80090005, kBadAlgorithm = 0x80090008,
                        kBadFlags = 0x80090009, kBadType = 0x8009000a, kNoKey = 0x8009000d,
                        kPermission = 0x80090010, kBadKeyset = 0x80090016, kFail = 0x80090020,
                        kSilentContext = 0x80090022, kNotSupported = 0x80090029,
                        kBadKeysetParam = 0x8009001f;
inline constexpr Status kNoSmartCard = 0x8010000c, kRemovedCard = 0x80100069,
                        kWrongPin = 0x8010006b, kPinBlocked = 0x8010006c,
                        kCancelledByUser = 0x8010006e;

}  // namespace capi
