#include "config/app_config.h"

#include <exception>


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

namespace {

// A value as written so that the profile API reads it back unchanged: one
// with blanks at either end, or enclosed in quotes of its own, is quoted.
std::wstring AsProfileValue(const std::wstring& value) {
  if (value.empty())
    return value;
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  const bool enclosed = value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
                        value.back() == value.front();
  if (blank(value.front()) || blank(value.back()) || enclosed)
    return L'"' + value + L'"';
  return value;
}

}  // namespace

int WriteAppConfigTo(ProfileStore& profile, const TConfigInfo& config) {
  const std::wstring s = kAppConfigSection;
  const auto num = [](std::int32_t v) { return std::to_wstring(v); };
  try {
    if (!profile.WriteString(s, L"URLOpenMode", num(config.URLOpenMode)))
      return 1;
    if (!profile.WriteString(s, L"URL", AsProfileValue(config.URL)))
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
