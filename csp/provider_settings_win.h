#pragma once
#include <string>

#include "i18n/res_strs.h"

// What the provider reads of the product installed beside it, as the
// monitor reads it: the administrator's policy, the user's language, and so
// the PKCS#11 module and the texts of the PIN prompt.
struct ProviderSettings {
  std::string module;  // policy's Pkcs11Module, else the language file's PKCS11Name
  TResStrs strings;
};

// productFolder ends in a backslash.
ProviderSettings ReadProviderSettings(const std::wstring& productFolder);
