#pragma once
#include <cstdint>
#include <string>

#include "token/token_library.h"
#include "token/token_records.h"

// The program's operations around the library. Each returns the status of
// the step that failed, else 0. Whatever counts the library reports, no more
// than the program's tables hold is ever kept or indexed.

// Starts the library with module; through init_pkcs11_ex when the first of
// the extended-initialisation texts is set.
std::int32_t InitTokenLibrary(TokenLibrary& lib, const std::wstring& module);

// Finds the tokens and connects each; count is 0 and the result 1 when none
// is found.
std::int32_t FindAndConnectTokens(TokenLibrary& lib, std::int32_t& count);

// What a token held beyond what its record takes: names past the record's
// 65, and whether the library's list was cut at the end of its buffer
// (more names followed, how many the library does not say).
struct ContainerOverflow {
  int namesLeftOut = 0;
  bool listCut = false;
};

// Reads the token's container names into info. A list that did not fit the
// buffer arrives as the whole names that fit (CKR_BUFFER_TOO_SMALL); those
// are taken.
std::int32_t LoadContainerNames(TokenLibrary& lib,
                                std::int32_t token,
                                TV9Info& info,
                                ContainerOverflow* overflow = nullptr);

std::int32_t ReadContainerCertificate(TokenLibrary& lib,
                                      std::int32_t token,
                                      const std::string& container,
                                      std::int32_t keySpec,
                                      TV9CertInfo& cert);
std::int32_t ReadStandaloneCertificate(TokenLibrary& lib,
                                       std::int32_t token,
                                       std::int32_t handle,
                                       TV9CertInfo& cert);

std::int32_t GetPinState(TokenLibrary& lib,
                         std::int32_t token,
                         std::int32_t pinKind,
                         PinState& state);

// token_get_info into a record.
std::int32_t ReadTokenInfo(TokenLibrary& lib, std::int32_t token, TV9Info& info);
