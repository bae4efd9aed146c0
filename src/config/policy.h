#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/app_config.h"

// What administrators set for the monitor through Group Policy: values under
// SOFTWARE\Policies\Veltrox\CorvanexE, the machine's (HKLM) before the user's
// (HKCU). A value set there overrides the user's own and cannot be changed in
// the program.
inline constexpr wchar_t kPolicyKeyPath[] = L"SOFTWARE\\Policies\\Veltrox\\CorvanexE";

// The registry types the monitor reads (their REG_* numbers).
enum class PolicyType : std::uint32_t { kString = 1, kDword = 4, kMultiString = 7 };

// One value the monitor reads: its exact registry name, its type and, for a
// number, the values it may take. The administrative templates list exactly
// these.
struct PolicyValueInfo {
  std::wstring_view name;
  PolicyType type;
  std::uint32_t min = 0;
  std::uint32_t max = 0;
};

// A value as the registry gave it: its type and its bytes.
struct RegistryValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// Where policy values come from: the Windows side reads the two policy keys.
class PolicySource {
 public:
  virtual ~PolicySource() = default;
  // The named value from the machine's key (machine) or the user's; nothing
  // when it is not there.
  virtual std::optional<RegistryValue> Read(bool machine, std::wstring_view name) = 0;
};

// A USB device id an administrator added; without a vendor any vendor's
// device of that product id.
struct UsbDeviceId {
  std::optional<std::uint16_t> vendor;
  std::uint16_t product = 0;
  bool operator==(const UsbDeviceId&) const = default;
};

struct Policy {
  std::optional<std::wstring> Pkcs11Module;
  // The module of 64-bit programs (our 64-bit provider beside the 32-bit
  // product), which cannot load a 32-bit module a full path names.
  std::optional<std::wstring> Pkcs11Module64;
  std::vector<UsbDeviceId> ProductIds;
  bool WatchSmartCardReaders = false;
  std::optional<std::wstring> ProviderName;
  // The settings of UserConfig.ini that are set by policy.
  std::optional<std::int32_t> URLOpenMode;
  std::optional<std::wstring> URL;
  std::optional<std::int32_t> BrowserMode;
  std::optional<std::int32_t> CertTips;
  std::optional<std::int32_t> CertDay;
  std::optional<std::int32_t> DefaultPINMode;
  std::optional<std::int32_t> LanguageID;
  std::optional<std::int32_t> SkipExpiredCertificates;
  bool UpdateCheck = true;
  std::optional<std::wstring> UpdateVersionFile;
  std::optional<std::uint32_t> UpdateDelayMaxSeconds;

  bool operator==(const Policy&) const = default;
};

// One setting of UserConfig.ini: its key in section "APPConfig", which is
// also the name of the policy value that sets it; its place in the record
// and in the policy (a number or a text); what a missing key reads as; and
// the numbers a policy value may give. In the order the file is written.
struct SettingField {
  std::wstring_view key;
  std::int32_t TConfigInfo::*number = nullptr;
  std::optional<std::int32_t> Policy::*policyNumber = nullptr;
  std::wstring TConfigInfo::*text = nullptr;
  std::optional<std::wstring> Policy::*policyText = nullptr;
  std::int32_t readDefault = 0;
  std::uint32_t policyMin = 0, policyMax = 0;
};

constexpr SettingField NumberField(std::wstring_view key,
                                   std::int32_t TConfigInfo::*number,
                                   std::optional<std::int32_t> Policy::*policy,
                                   std::int32_t readDefault,
                                   std::uint32_t policyMin,
                                   std::uint32_t policyMax) {
  return {key, number, policy, nullptr, nullptr, readDefault, policyMin, policyMax};
}

inline constexpr SettingField kSettingFields[] = {
    NumberField(L"URLOpenMode", &TConfigInfo::URLOpenMode, &Policy::URLOpenMode, 0, 0, 1),
    {L"URL", nullptr, nullptr, &TConfigInfo::URL, &Policy::URL},
    NumberField(L"BrowserMode", &TConfigInfo::BrowserMode, &Policy::BrowserMode, 0, 0, 1),
    NumberField(L"CertTips", &TConfigInfo::CertTips, &Policy::CertTips, 0, 0, 1),
    NumberField(L"CertDay", &TConfigInfo::CertDay, &Policy::CertDay, 0, 0, 365),
    NumberField(L"LanguageID",
                &TConfigInfo::LanguageID,
                &Policy::LanguageID,
                kDefaultLanguageID,
                1,
                0xFFFF),
    NumberField(L"DefaultPINMode", &TConfigInfo::DefaultPINMode, &Policy::DefaultPINMode, 1, 0, 1),
    NumberField(L"SkipExpiredCertificates",
                &TConfigInfo::SkipExpiredCertificates,
                &Policy::SkipExpiredCertificates,
                0,
                0,
                1),
};

inline constexpr std::uint32_t kMaxUpdateDelaySeconds = 86400;

// The module a program of this bitness loads by policy: a 64-bit one takes
// Pkcs11Module64 where it is set.
inline const std::optional<std::wstring>& PolicyModule(const Policy& policy,
                                                       bool sixtyFourBit = sizeof(void*) == 8) {
  return sixtyFourBit && policy.Pkcs11Module64 ? policy.Pkcs11Module64 : policy.Pkcs11Module;
}

// Every policy value: the program's own, the settings', the update check's.
inline constexpr auto kPolicyValues = [] {
  constexpr PolicyValueInfo before[] = {
      {L"Pkcs11Module", PolicyType::kString},
      {L"Pkcs11Module64", PolicyType::kString},
      {L"ProductIds", PolicyType::kMultiString},
      {L"WatchSmartCardReaders", PolicyType::kDword, 0, 1},
      {L"ProviderName", PolicyType::kString},
  };
  constexpr PolicyValueInfo after[] = {
      {L"UpdateCheck", PolicyType::kDword, 0, 1},
      {L"UpdateVersionFile", PolicyType::kString},
      {L"UpdateDelayMaxSeconds", PolicyType::kDword, 0, kMaxUpdateDelaySeconds},
  };
  std::array<PolicyValueInfo, std::size(before) + std::size(kSettingFields) + std::size(after)>
      all{};
  std::size_t n = 0;
  for (const auto& value : before)
    all[n++] = value;
  for (const SettingField& field : kSettingFields)
    all[n++] = field.number ? PolicyValueInfo{field.key, PolicyType::kDword, field.policyMin,
                                              field.policyMax}
                            : PolicyValueInfo{field.key, PolicyType::kString};
  for (const auto& value : after)
    all[n++] = value;
  return all;
}();

// A value that was there but cannot be used, and why; each is logged once
// per reading.
struct IgnoredPolicyValue {
  std::wstring name;
  std::wstring reason;
  // Its line in the diagnostic log.
  std::wstring LogLine() const { return L"Policy value ignored: " + name + L": " + reason; }
};

// Reads every value of kPolicyValues; a wrongly typed or out-of-range value
// is left out (the user's value, or the built-in behaviour, stays) and named
// in ignored.
Policy ReadPolicy(PolicySource& source, std::vector<IgnoredPolicyValue>& ignored);

// The user's settings with every value the policy sets in their place.
TConfigInfo WithPolicySettings(const Policy& policy, TConfigInfo settings);
// Whether the policy sets any of the settings of UserConfig.ini.
bool SetsAnyUserSetting(const Policy& policy);
// What a save of the settings dialog writes: the dialog's values, except
// where the policy sets one, which keeps the user's own stored value.
TConfigInfo WithoutPolicySettings(const Policy& policy,
                                  const TConfigInfo& fromDialog,
                                  const TConfigInfo& userStored);

// When the update check starts after start-up, in milliseconds: 6 s, or with
// UpdateDelayMaxSeconds a delay from 0 to that many seconds picked by
// randomValue (uniform over all 32-bit values).
int UpdateCheckDelayMs(const Policy& policy, std::uint32_t randomValue);
inline constexpr int kDefaultUpdateDelayMs = 6000;

// Whether a device of these ids is one the policy adds.
bool IsPolicyDevice(const Policy& policy, std::int32_t vendorId, std::int32_t productId);

// The module name as written is usable: a bare file name, or a full path
// ("X:\..." or "\\server\share\..."). A relative folder is not.
bool IsBareFileName(std::wstring_view path);
bool IsFullPath(std::wstring_view path);

// No value set: every built-in behaviour and user setting applies.
inline const Policy kNoPolicy{};
