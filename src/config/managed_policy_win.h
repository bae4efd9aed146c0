#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/policy.h"

// Reads the policy keys. Each value that cannot be used is left out and
// added to ignored, for the caller to report as it may.
Policy ReadManagedPolicy(std::vector<IgnoredPolicyValue>& ignored);

// Whether the signed-in user, without administrator rights, could replace
// the module at this full path, or what it loads: by any right on the file,
// a new file in its folder, or a rename, removal or change of security of
// any folder above it. A path whose security cannot be read, or not a full
// path, counts as replaceable. In a process of a service account (SYSTEM,
// LocalService, NetworkService), whose own rights say nothing of a user's,
// the question is whether any ordinary user of the machine could.
bool UserCouldReplaceModule(const std::wstring& module);

// Whether anyone but the system's own accounts (SYSTEM, Administrators,
// TrustedInstaller) owns the object this descriptor guards or is allowed any
// of rights on it. No DACL allows everyone everything.
bool OrdinaryUserCouldChange(PSECURITY_DESCRIPTOR descriptor, DWORD rights);

// The folders above a full path, nearest first, down to its root ("C:\\",
// "\\\\server\\share\\"); none for a path that is not full.
std::vector<std::wstring> FoldersAbove(const std::wstring& path);
