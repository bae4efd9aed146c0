#pragma once
#include <string>

#include "config/app_config.h"
#include "config/policy.h"
#include "i18n/res_strs.h"

// What a program of the product other than the monitor (the manager, our
// cryptographic provider in another program's process) reads of the
// installation it belongs to, as the monitor reads it: the administrator's
// policy, the user's settings under it, the user's language, and so the
// PKCS#11 module.
struct ProductSettings {
  Policy policy;
  TConfigInfo settings;  // the user's, with the policy's values in their place
  TResStrs strings;
  // policy's Pkcs11Module, else the language file's PKCS11Name; empty when
  // the system code page cannot hold it exactly
  std::string module;
};

// productFolder ends in a backslash. Values the policy cannot use are left
// out quietly: reporting them is the monitor's, once.
ProductSettings ReadProductSettings(const std::wstring& productFolder);
