#pragma once
#include <string>
#include <vector>

#include "config/profile.h"

// A settings file through GetPrivateProfileStringW / WritePrivateProfileStringW,
// one key per call, nothing cached.
class PrivateProfile : public ProfileStore {
 public:
  explicit PrivateProfile(std::wstring path) : path_(std::move(path)) {}
  std::wstring ReadString(const std::wstring& section,
                          const std::wstring& key,
                          const std::wstring& fallback) override;
  bool WriteString(const std::wstring& section,
                   const std::wstring& key,
                   const std::wstring& value) override;
  std::vector<std::wstring> SectionNames() override;

 private:
  std::wstring path_;
};

// Settings and language files on disk, through the profile API.
class WinProfileFiles : public ProfileFiles {
 public:
  bool Exists(const std::wstring& path) override;
  std::unique_ptr<ProfileStore> Open(const std::wstring& path) override;
};
