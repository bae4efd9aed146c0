#include "config/app_config.h"
#include "config/private_profile_win.h"

int ReadAppConfig(const std::wstring& path, TConfigInfo& config) {
  PrivateProfile profile(path);
  return ReadAppConfigFrom(profile, config);
}

int WriteAppConfig(const std::wstring& path, const TConfigInfo& config) {
  PrivateProfile profile(path);
  return WriteAppConfigTo(profile, config);
}

int ReadConfiguredLanguageID(const std::wstring& path) {
  TConfigInfo config{};
  if (ReadAppConfig(path, config) != 0)
    return 0;
  return config.LanguageID;
}
