#pragma once
#include <string>

#include "config/policy.h"

// Reads the policy keys into ActivePolicy: at start-up and again when Windows
// announces a policy change. Each value that cannot be used is logged and
// reported as an event.
void LoadActivePolicy();

// Whether the signed-in user, without administrator rights, can change the
// file's contents (folder false) or put files into the folder (folder true).
// A path whose security cannot be read counts as changeable.
bool UserCanChange(const std::wstring& path, bool folder);
