#include "config/app_config.h"

#include <exception>

TConfigInfo AppConfig;

int ReadAppConfigFrom(ProfileStore& profile, TConfigInfo& config) {
  try {
    const std::wstring s = kAppConfigSection;
    config.URLOpenMode = ReadProfileInt(profile, s, L"URLOpenMode", 0);
    config.URL = profile.ReadString(s, L"URL", L"");
    config.BrowserMode = ReadProfileInt(profile, s, L"BrowserMode", 0);
    config.CertTips = ReadProfileInt(profile, s, L"CertTips", 0);
    config.CertDay = ReadProfileInt(profile, s, L"CertDay", 0);
    config.LanguageID = ReadProfileInt(profile, s, L"LanguageID", kDefaultLanguageID);
    config.DefaultPINMode = ReadProfileInt(profile, s, L"DefaultPINMode", 1);
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}

int WriteAppConfigTo(ProfileStore& profile, const TConfigInfo& config) {
  const std::wstring s = kAppConfigSection;
  const auto num = [](std::int32_t v) { return std::to_wstring(v); };
  try {
    if (!profile.WriteString(s, L"URLOpenMode", num(config.URLOpenMode)))
      return 1;
    if (!profile.WriteString(s, L"URL", config.URL))
      return 1;
    if (!profile.WriteString(s, L"BrowserMode", num(config.BrowserMode)))
      return 1;
    if (!profile.WriteString(s, L"CertTips", num(config.CertTips)))
      return 1;
    if (!profile.WriteString(s, L"CertDay", num(config.CertDay)))
      return 1;
    if (!profile.WriteString(s, L"LanguageID", num(config.LanguageID)))
      return 1;
    if (!profile.WriteString(s, L"DefaultPINMode", num(config.DefaultPINMode)))
      return 1;
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
