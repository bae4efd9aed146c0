#include "config/app_config.h"

#include <exception>

#include "config/policy.h"

int ReadAppConfigFrom(ProfileStore& profile, TConfigInfo& config) {
  try {
    for (const SettingField& field : kSettingFields) {
      if (field.number)
        config.*field.number =
            ReadProfileInt(profile, kAppConfigSection, std::wstring(field.key), field.readDefault);
      else
        config.*field.text = profile.ReadString(kAppConfigSection, std::wstring(field.key), L"");
    }
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
  try {
    for (const SettingField& field : kSettingFields) {
      const std::wstring value =
          field.number ? std::to_wstring(config.*field.number) : AsProfileValue(config.*field.text);
      if (!profile.WriteString(kAppConfigSection, std::wstring(field.key), value))
        return 1;
    }
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
