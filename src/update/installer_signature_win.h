#pragma once
#include <string>

#include "update/update_check.h"

// Whether installer carries a valid Authenticode signature whose signer
// certificate is the one that signed monitorExe.
InstallerSignature CheckInstallerSignature(const std::wstring& installer,
                                           const std::wstring& monitorExe);
