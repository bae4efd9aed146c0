#pragma once
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
// path, counts as replaceable.
bool UserCouldReplaceModule(const std::wstring& module);

// The folders above a full path, nearest first, down to its root ("C:\\",
// "\\\\server\\share\\"); none for a path that is not full.
std::vector<std::wstring> FoldersAbove(const std::wstring& path);
