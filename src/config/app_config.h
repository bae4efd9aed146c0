#pragma once
#include <cstdint>
#include <string>

#include "config/profile.h"

// The eight settings of section "APPConfig" in the per-user UserConfig.ini.
// Switch-like settings act only on the exact value 1.
struct TConfigInfo {
  std::int32_t URLOpenMode = 0;
  std::wstring URL;
  std::int32_t BrowserMode = 0;
  std::int32_t CertTips = 0;
  std::int32_t CertDay = 0;
  std::int32_t LanguageID = 0;
  std::int32_t DefaultPINMode = 0;
  // 1: an expired user certificate is not registered (left out of "MY").
  std::int32_t SkipExpiredCertificates = 0;

  bool operator==(const TConfigInfo&) const = default;
};

inline constexpr wchar_t kAppConfigSection[] = L"APPConfig";
inline constexpr std::int32_t kDefaultLanguageID = 1033;

// Reads every key in order, each with its default; returns 0, or 1 when the
// store failed part-way (config then holds what was read so far).
int ReadAppConfigFrom(ProfileStore& profile, TConfigInfo& config);
// Writes all eight keys in order; returns 0, or 1 at the first failed write.
int WriteAppConfigTo(ProfileStore& profile, const TConfigInfo& config);

// The same against a settings file on disk.
int ReadAppConfig(const std::wstring& path, TConfigInfo& config);
int WriteAppConfig(const std::wstring& path, const TConfigInfo& config);
// The file's LanguageID (1033 when missing), or 0 when reading failed, which
// matches no language so that start-up falls back to English.
int ReadConfiguredLanguageID(const std::wstring& path);
