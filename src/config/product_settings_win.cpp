#include "config/product_settings_win.h"

#include <vector>

#include "base/text_win.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/managed_policy_win.h"
#include "i18n/language_win.h"

ProductSettings ReadProductSettings(const std::wstring& productFolder) {
  ProductSettings product;
  std::vector<IgnoredPolicyValue> ignored;
  product.policy = ReadManagedPolicy(ignored);
  const std::wstring userConfig = GetUserDataDir() + names::kUserConfigFile;
  TConfigInfo settings{};
  ReadAppConfig(userConfig, settings);
  product.settings = WithPolicySettings(product.policy, settings);
  const int languageId = product.policy.LanguageID.value_or(ReadConfiguredLanguageID(userConfig));
  SelectStartupLanguage(productFolder, languageId, product.strings);
  // As the monitor: a name the code page holds only by best fit could load
  // another file than the one checked, so it loads nothing.
  if (const auto exact =
          ToAnsiExact(PolicyModule(product.policy).value_or(product.strings.PKCS11Name)))
    product.module = exact->view();
  return product;
}
