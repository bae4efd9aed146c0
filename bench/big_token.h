#pragma once
// The big token and a registration pass over it, for the token library's
// tests and benchmark.
#include <string>

#include "token_manager.h"

namespace tokenlib::testing {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

// Makes the virtual token's big token (65 containers x 2 certificates, 65 CA
// certificates) in folder/vtoken, and a SoftHSM2 token labelled "big" with
// the same public keys and certificates in folder/softhsm; points
// SOFTHSM2_CONF at it. Returns false when a step failed.
bool MakeBigTokens(const std::string& folder);

// The library calls of the monitor's registration pass over one token;
// returns the number of certificates read.
int RegistrationPass(TokenManager& manager, int token);

}  // namespace tokenlib::testing
