#include "provider_settings_win.h"

#include <vector>

#include "base/text_win.h"
#include "config/app_config.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/managed_policy_win.h"
#include "i18n/language_win.h"

ProviderSettings ReadProviderSettings(const std::wstring& productFolder) {
  // Values the policy cannot use are the monitor's to report, once.
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadManagedPolicy(ignored);
  const int languageId = policy.LanguageID.value_or(
      ReadConfiguredLanguageID(GetUserDataDir() + names::kUserConfigFile));
  ProviderSettings settings;
  SelectStartupLanguage(productFolder, languageId, settings.strings);
  settings.module = ToAnsi(policy.Pkcs11Module.value_or(settings.strings.PKCS11Name));
  return settings;
}
