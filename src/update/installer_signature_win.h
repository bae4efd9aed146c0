#pragma once
#include <windows.h>

#include <string>

#include "update/update_check.h"

// Whether installer (read through file, which the caller holds open) carries
// a valid Authenticode signature of the publisher that signed monitorExe: the
// same signer certificate, or one with the same subject from the same
// issuing certificate (a renewal), none of whose certificates the revocation
// lists they name have revoked.
InstallerSignature CheckInstallerSignature(const std::wstring& installer,
                                           HANDLE file,
                                           const std::wstring& monitorExe);
