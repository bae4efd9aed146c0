#pragma once
#include <string>
#include <vector>

#include "config/policy.h"

// Reads the policy keys: at start-up and again when Windows announces a
// policy change. Each value that cannot be used is logged and reported as an
// event.
Policy ReadManagedPolicy();

// Whether the signed-in user, without administrator rights, could replace
// the module at this full path, or what it loads: by any right on the file,
// a new file in its folder, or a rename, removal or change of security of
// any folder above it. A path whose security cannot be read, or not a full
// path, counts as replaceable.
bool UserCouldReplaceModule(const std::wstring& module);

// The folders above a full path, nearest first, down to its root ("C:\\",
// "\\\\server\\share\\"); none for a path that is not full.
std::vector<std::wstring> FoldersAbove(const std::wstring& path);
