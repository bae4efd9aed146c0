#include "config/policy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "testing/fake_policy_source.h"

namespace {

constexpr bool kMachine = true, kUser = false;

std::set<std::wstring> IgnoredNames(const std::vector<IgnoredPolicyValue>& ignored) {
  std::set<std::wstring> names;
  for (const auto& i : ignored)
    names.insert(i.name);
  return names;
}

}  // namespace

TEST(Policy, NothingSetChangesNothing) {
  FakePolicySource none;
  std::vector<IgnoredPolicyValue> ignored;
  EXPECT_EQ(ReadPolicy(none, ignored), Policy{});
  EXPECT_TRUE(ignored.empty());
  const TConfigInfo user{1, L"https://a.example/", 1, 1, 30, 2052, 0};
  EXPECT_EQ(WithPolicySettings(Policy{}, user), user);
}

TEST(Policy, TheMachineValueWinsOverTheUsers) {
  FakePolicySource source;
  source.Dword(kMachine, L"CertDay", 10)
      .Dword(kUser, L"CertDay", 20)
      .Dword(kUser, L"CertTips", 1)
      .Text(kUser, L"URL", L"https://portal.example/")
      .Text(kMachine, L"ProviderName", L"Microsoft Smart Card Key Storage Provider");
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  EXPECT_EQ(policy.CertDay, 10);
  EXPECT_EQ(policy.CertTips, 1);
  EXPECT_EQ(policy.URL, L"https://portal.example/");
  EXPECT_EQ(policy.ProviderName, L"Microsoft Smart Card Key Storage Provider");
  EXPECT_TRUE(ignored.empty());

  const TConfigInfo user{0, L"https://mine.example/", 1, 0, 60, 2052, 1};
  EXPECT_EQ(WithPolicySettings(policy, user),
            (TConfigInfo{0, L"https://portal.example/", 1, 1, 10, 2052, 1}));
}

// An unusable machine value is logged and counts as not set: the user's
// policy value then applies.
TEST(Policy, WronglyTypedAndOutOfRangeValuesAreIgnoredOneLineEach) {
  FakePolicySource source;
  source
      .Text(kMachine, L"CertDay", L"30")                              // REG_SZ for a number
      .Dword(kUser, L"CertDay", 7)                                    // the user's then applies
      .Dword(kMachine, L"CertTips", 2)                                // out of 0-1
      .Dword(kMachine, L"LanguageID", 0)                              // out of 1-65535
      .Dword(kMachine, L"UpdateDelayMaxSeconds", 86401)               // over a day
      .Raw(kMachine, L"DefaultPINMode", {4, {1, 0}})                  // a short DWORD
      .Raw(kMachine, L"URLOpenMode", {11, {1, 0, 0, 0, 0, 0, 0, 0}})  // REG_QWORD
      .Dword(kMachine, L"URL", 1)                                     // a number for text
      .Text(kMachine, L"ProductIds", L"PID_1234")                     // REG_SZ for a list
      .Text(kMachine, L"ProviderName", L"   ")                        // blank
      .Text(kMachine, L"Pkcs11Module", L"x", 2);                      // REG_EXPAND_SZ
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  EXPECT_EQ(policy.CertDay, 7);
  EXPECT_FALSE(policy.CertTips || policy.LanguageID || policy.UpdateDelayMaxSeconds ||
               policy.DefaultPINMode || policy.URLOpenMode || policy.URL || policy.ProviderName ||
               policy.Pkcs11Module);
  EXPECT_TRUE(policy.ProductIds.empty());
  EXPECT_EQ(ignored.size(), 10u);
  EXPECT_EQ(IgnoredNames(ignored),
            (std::set<std::wstring>{L"CertDay", L"CertTips", L"LanguageID",
                                    L"UpdateDelayMaxSeconds", L"DefaultPINMode", L"URLOpenMode",
                                    L"URL", L"ProductIds", L"ProviderName", L"Pkcs11Module"}));
  for (const auto& i : ignored)
    EXPECT_FALSE(i.reason.empty()) << i.name;
}

TEST(Policy, ProductIdsTakeTwoFormsAndSkipTheRest) {
  FakePolicySource source;
  // Items as a REG_MULTI_SZ holds them: NUL between, a double NUL at the end.
  source.Text(kMachine, L"ProductIds",
              std::wstring(L"PID_0A1b\0vid_096E&pid_0608\0PID_12345\0VID_12&PID_3456\0"
                           L"USB\\VID_1D99&PID_FF04\0 PID_BEEF \0\0",
                           88),
              7);
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  EXPECT_EQ(
      policy.ProductIds,
      (std::vector<UsbDeviceId>{{std::nullopt, 0x0A1B}, {0x096E, 0x0608}, {std::nullopt, 0xBEEF}}));
  ASSERT_EQ(ignored.size(), 1u);  // one report for the value, naming what was skipped
  EXPECT_EQ(ignored[0].reason,
            L"3 item(s) not PID_xxxx or VID_xxxx&PID_xxxx skipped: \"PID_12345\", "
            L"\"VID_12&PID_3456\", \"USB\\VID_1D99&PID_FF04\"");
  EXPECT_TRUE(IsPolicyDevice(policy, 0x1234, 0x0A1B));  // any vendor
  EXPECT_TRUE(IsPolicyDevice(policy, 0x096E, 0x0608));
  EXPECT_FALSE(IsPolicyDevice(policy, 0x096F, 0x0608));  // that vendor only
  EXPECT_FALSE(IsPolicyDevice(policy, 0x096E, 0x0609));
}

// Ten thousand malformed lines: one bounded report, at every reading.
TEST(Policy, ManyMalformedProductIdsAreOneReport) {
  std::wstring items;
  for (int i = 0; i < 10000; ++i)
    items += L"PID_" + std::wstring(200, L'Z') + L'\0';
  items += L"PID_BEEF";
  items += L'\0';
  FakePolicySource source;
  source.Text(kMachine, L"ProductIds", items, 7);
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  EXPECT_EQ(policy.ProductIds, (std::vector<UsbDeviceId>{{std::nullopt, 0xBEEF}}));
  ASSERT_EQ(ignored.size(), 1u);
  EXPECT_EQ(ignored[0].reason.rfind(L"10000 item(s)", 0), 0u) << ignored[0].reason;
  EXPECT_LT(ignored[0].reason.size(), 300u);
}

TEST(Policy, ModuleIsAFileNameOrAFullPathNeverARelativeFolder) {
  for (const wchar_t* usable :
       {L"vendor_pkcs11.dll", L"C:\\Program Files\\Vendor\\pkcs11.dll",
        L"\\\\server\\share\\pkcs11.dll", L"D:/SoftHSM2/lib/softhsm2.dll"}) {
    FakePolicySource source;
    source.Text(kMachine, L"Pkcs11Module", usable);
    std::vector<IgnoredPolicyValue> ignored;
    EXPECT_EQ(ReadPolicy(source, ignored).Pkcs11Module, usable);
    EXPECT_TRUE(ignored.empty()) << usable;
  }
  for (const wchar_t* refused :
       {L"lib\\pkcs11.dll", L".\\pkcs11.dll", L"..\\pkcs11.dll", L"C:pkcs11.dll", L"\\pkcs11.dll",
        L"C:\\Program Files\\..\\Users\\Public\\pkcs11.dll", L"\\\\?\\C:\\pkcs11.dll",
        L"C:\\Vendor\\\\pkcs11.dll"}) {
    FakePolicySource source;
    source.Text(kMachine, L"Pkcs11Module", refused).Text(kMachine, L"Pkcs11Module64", refused);
    std::vector<IgnoredPolicyValue> ignored;
    const Policy policy = ReadPolicy(source, ignored);
    EXPECT_FALSE(policy.Pkcs11Module || policy.Pkcs11Module64) << refused;
    EXPECT_EQ(IgnoredNames(ignored), (std::set<std::wstring>{L"Pkcs11Module", L"Pkcs11Module64"}))
        << refused;
  }
}

// A 64-bit program cannot load the 32-bit module a full path names: it
// takes its own where the administrator set one.
TEST(Policy, EachBitnessTakesItsOwnModule) {
  Policy policy;
  EXPECT_FALSE(PolicyModule(policy, true));
  policy.Pkcs11Module = L"C:\\Program Files (x86)\\Vendor\\pkcs11.dll";
  EXPECT_EQ(PolicyModule(policy, true), policy.Pkcs11Module);  // none of its own
  policy.Pkcs11Module64 = L"C:\\Program Files\\Vendor\\pkcs11_64.dll";
  EXPECT_EQ(PolicyModule(policy, true), policy.Pkcs11Module64);
  EXPECT_EQ(PolicyModule(policy, false), policy.Pkcs11Module);
}

TEST(Policy, UpdateValues) {
  FakePolicySource source;
  source.Dword(kMachine, L"UpdateCheck", 0)
      .Text(kMachine, L"UpdateVersionFile", L"file:///C:/version.ini")
      .Text(kUser, L"UpdateVersionFile", L"https://updates.example/version.ini")
      .Dword(kMachine, L"UpdateDelayMaxSeconds", 3600);
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  EXPECT_FALSE(policy.UpdateCheck);
  // The machine's address is not a web address: ignored as if not set.
  EXPECT_EQ(policy.UpdateVersionFile, L"https://updates.example/version.ini");
  EXPECT_EQ(IgnoredNames(ignored), std::set<std::wstring>{L"UpdateVersionFile"});
  EXPECT_EQ(policy.UpdateDelayMaxSeconds, 3600u);
}

TEST(Policy, TheUpdateDelaySpansTheWholeRangeAndNoMore) {
  EXPECT_EQ(UpdateCheckDelayMs(Policy{}, 0xFFFFFFFFu), 6000);
  Policy policy;
  policy.UpdateDelayMaxSeconds = 3600;
  EXPECT_EQ(UpdateCheckDelayMs(policy, 0), 0);
  EXPECT_EQ(UpdateCheckDelayMs(policy, 0x80000000u), 1800000);
  EXPECT_EQ(UpdateCheckDelayMs(policy, 0xFFFFFFFFu), 3600000);
  policy.UpdateDelayMaxSeconds = kMaxUpdateDelaySeconds;
  EXPECT_EQ(UpdateCheckDelayMs(policy, 0xFFFFFFFFu), 86400000);
  policy.UpdateDelayMaxSeconds = 0;
  EXPECT_EQ(UpdateCheckDelayMs(policy, 0xFFFFFFFFu), 0);
}

TEST(Policy, ASaveKeepsTheUsersOwnValueWherePolicySetsOne) {
  Policy policy;
  policy.CertDay = 10;
  policy.URL = L"https://portal.example/";
  const TConfigInfo stored{1, L"https://mine.example/", 0, 1, 60, 2052, 1};
  const TConfigInfo dialog{0, L"https://portal.example/", 1, 1, 10, 1033, 0};
  EXPECT_EQ(WithoutPolicySettings(policy, dialog, stored),
            (TConfigInfo{0, L"https://mine.example/", 1, 1, 60, 1033, 0}));
  EXPECT_TRUE(SetsAnyUserSetting(policy));
  Policy devicesOnly;
  devicesOnly.ProductIds = {{std::nullopt, 0x0A1B}};
  devicesOnly.UpdateCheck = false;
  EXPECT_FALSE(SetsAnyUserSetting(devicesOnly));
}

// --- the administrative templates -----------------------------------------

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Narrow(std::wstring_view text) {
  return std::string(text.begin(), text.end());  // the names are ASCII
}

std::set<std::string> Matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it)
    found.insert((*it)[1]);
  return found;
}

}  // namespace

TEST(PolicyTemplates, NameExactlyTheValuesTheProgramReadsWithTheirTypes) {
  const std::string admx = ReadText(POLICY_TEMPLATES_DIR "CorvanexE.admx");
  ASSERT_FALSE(admx.empty());
  // Each value name with the element that writes it.
  std::map<std::string, std::string> written;
  const std::regex element(R"re(<(\w+)\s[^>]*valueName="([^"]+)"[^>]*>)re");
  for (auto it = std::sregex_iterator(admx.begin(), admx.end(), element);
       it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(written.emplace((*it)[2], (*it)[1]).second) << "written twice: " << (*it)[2];

  std::set<std::string> read;
  for (const PolicyValueInfo& info : kPolicyValues) {
    const std::string name = Narrow(info.name);
    read.insert(name);
    const auto it = written.find(name);
    if (it == written.end()) {
      ADD_FAILURE() << "no template sets " << name;
      continue;
    }
    const std::string& kind = it->second;
    switch (info.type) {
      case PolicyType::kString:
        EXPECT_EQ(kind, "text") << name;
        break;
      case PolicyType::kMultiString:
        EXPECT_EQ(kind, "multiText") << name;
        break;
      case PolicyType::kDword:
        EXPECT_TRUE(kind == "policy" || kind == "decimal" || kind == "enum")
            << name << ": " << kind;
        if (kind == "policy") {  // enabled 1, disabled 0
          EXPECT_EQ(info.max, 1u) << name;
        }
        if (kind == "decimal") {
          const std::regex bounds("valueName=\"" + name +
                                  R"re("[^>]*minValue="(\d+)" maxValue="(\d+)")re");
          std::smatch m;
          ASSERT_TRUE(std::regex_search(admx, m, bounds)) << name;
          EXPECT_EQ(std::stoul(m[1]), info.min) << name;
          EXPECT_EQ(std::stoul(m[2]), info.max) << name;
        }
        break;
    }
  }
  for (const auto& [name, kind] : written)
    EXPECT_TRUE(read.count(name)) << "the program does not read " << name;
  // Every value lives under the key the program reads.
  for (const std::string& key : Matches(admx, R"re(key="([^"]+)")re"))
    EXPECT_EQ(key, Narrow(kPolicyKeyPath));
}

TEST(PolicyTemplates, BothLanguagesHaveEveryTextAndPresentation) {
  const std::string admx = ReadText(POLICY_TEMPLATES_DIR "CorvanexE.admx");
  const std::set<std::string> strings = Matches(admx, R"re(\$\(string\.(\w+)\))re");
  const std::set<std::string> presentations = Matches(admx, R"re(\$\(presentation\.(\w+)\))re");
  ASSERT_GT(strings.size(), 30u);
  for (const char* language : {"en-US", "zh-CN"}) {
    const std::string adml =
        ReadText(std::string(POLICY_TEMPLATES_DIR) + language + "/CorvanexE.adml");
    ASSERT_FALSE(adml.empty()) << language;
    const std::set<std::string> defined = Matches(adml, R"re(<string id="(\w+)")re");
    for (const std::string& id : strings)
      EXPECT_TRUE(defined.count(id)) << language << " lacks string " << id;
    const std::set<std::string> shown = Matches(adml, R"re(<presentation id="(\w+)")re");
    EXPECT_EQ(shown, presentations) << language;
    // Each box of a presentation names an element of its policy.
    for (const std::string& ref : Matches(adml, R"re(refId="(\w+)")re"))
      EXPECT_NE(admx.find("id=\"" + ref + "\""), std::string::npos) << language << ": " << ref;
  }
}
