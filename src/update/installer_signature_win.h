#pragma once
#include <windows.h>

#include <string>

#include "update/update_check.h"

// Whether installer (read through file, which the caller holds open) carries
// a valid Authenticode signature whose signer certificate is the one that
// signed monitorExe.
InstallerSignature CheckInstallerSignature(const std::wstring& installer,
                                           HANDLE file,
                                           const std::wstring& monitorExe);
