#include "token_state.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "der.h"

namespace vtoken {

namespace {

std::string Utf8(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

std::string Join(const std::string& folder, const std::string& name) {
  return Utf8(std::filesystem::u8path(folder) / std::filesystem::u8path(name));
}

// The file's bytes; nothing for anything but a readable regular file.
std::string ReadFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), error))
    return {};
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::uint8_t> Modulus(const std::string& der) {
  auto key = der::CertificatePublicKey(
      std::span(reinterpret_cast<const std::uint8_t*>(der.data()), der.size()));
  return key ? *key : std::vector<std::uint8_t>{};
}

// The token's objects. The certificate files are read again only when the
// token's object sections change: every PKCS#11 call asks for the token, and
// a full token holds 195 files. PIN fields are always read afresh.
std::vector<Object> ObjectsOf(const std::string& folder, const IniFile& ini) {
  std::string cacheKey = folder;
  for (const std::string& section : ini.Sections())
    if (section.rfind("container:", 0) == 0 || section == "standalone")
      for (const auto& [k, v] : ini.Entries(section))
        cacheKey += "\n" + section + ":" + k + "=" + v;
  static std::map<std::string, std::vector<Object>> cache;
  if (auto it = cache.find(cacheKey); it != cache.end())
    return it->second;

  std::vector<Object> objects;
  // Handles follow file order, so they stay the same while the file does.
  CK_OBJECT_HANDLE next = 1;
  for (const std::string& section : ini.Sections()) {
    if (section.rfind("container:", 0) != 0)
      continue;
    const std::string name = section.substr(10);
    for (const bool exchange : {true, false}) {
      const std::string file = ini.Get(section, exchange ? "exchange" : "signature");
      if (file.empty())
        continue;
      const std::string der = ReadFile(Join(folder, file));
      if (der.empty())
        continue;
      Object key{next++, CKO_PUBLIC_KEY, name, name, "", Modulus(der), exchange};
      Object cert{next++, CKO_CERTIFICATE, name, name, der, {}, exchange};
      objects.push_back(std::move(key));
      objects.push_back(std::move(cert));
    }
  }
  next = 1000;
  for (const auto& [name, file] : ini.Entries("standalone")) {
    const std::string der = ReadFile(Join(folder, file));
    if (der.empty())
      continue;
    objects.push_back({next, CKO_CERTIFICATE, "standalone:" + name, name, der, {}, false});
    ++next;
  }
  if (cache.size() > 64)
    cache.clear();
  cache[cacheKey] = objects;
  return objects;
}

}  // namespace

CK_FLAGS Token::Flags() const {
  CK_FLAGS f = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
  if (initialized)
    f |= CKF_TOKEN_INITIALIZED;
  if (triesLeft <= 0)
    f |= CKF_USER_PIN_LOCKED;
  else if (triesLeft == 1)
    f |= CKF_USER_PIN_FINAL_TRY;
  if (triesLeft < maxTries)
    f |= CKF_USER_PIN_COUNT_LOW;
  if (pinIsDefault)
    f |= CKF_USER_PIN_TO_BE_CHANGED;
  return f;
}

bool Token::SavePinState() {
  // Re-read first: another process may have changed other fields meanwhile.
  IniFile fresh = IniFile::Load(Join(folder, "token.ini"));
  fresh.Set("token", "userPin", userPin);
  fresh.Set("token", "pinIsDefault", pinIsDefault ? "1" : "0");
  fresh.Set("token", "triesLeft", std::to_string(triesLeft));
  return fresh.Save(Join(folder, "token.ini"));
}

Config LoadConfig() {
  Config config;
  const char* env = std::getenv("VTOKEN_CONFIG");
  config.path = env && *env ? env : ModuleFolder() + "vtoken.ini";
  const IniFile ini = IniFile::Load(config.path);
  const auto base = std::filesystem::u8path(config.path).parent_path();
  config.osLocking = ini.GetInt("module", "osLocking", 1) != 0;
  config.pinExpired = ini.GetInt("module", "pinExpired", 0) != 0;
  const int count = std::max(0, std::min(ini.GetInt("slots", "count", 0), 64));
  for (int i = 0; i < count; ++i) {
    const std::string folder = ini.Get("slots", "slot" + std::to_string(i));
    if (folder.empty()) {
      config.slotFolders.emplace_back();
      continue;
    }
    auto path = std::filesystem::u8path(folder);
    if (path.is_relative())
      path = base / path;
    config.slotFolders.push_back(Utf8(path.lexically_normal()));
  }
  return config;
}

std::string SlotFolder(CK_SLOT_ID slot) {
  const Config config = LoadConfig();
  if (slot >= config.slotFolders.size())
    return {};
  const std::string& folder = config.slotFolders[slot];
  if (folder.empty() ||
      !std::filesystem::exists(std::filesystem::u8path(Join(folder, "token.ini"))))
    return {};
  return folder;
}

std::optional<Token> LoadToken(const std::string& folder) {
  Token t;
  t.folder = folder;
  t.ini = IniFile::Load(Join(folder, "token.ini"));
  if (t.ini.Sections().empty())
    return std::nullopt;
  const IniFile& ini = t.ini;
  t.label = ini.Get("token", "label", "Virtual Token");
  t.manufacturer = ini.Get("token", "manufacturer", "Virtual");
  t.model = ini.Get("token", "model", "vtoken");
  t.serial = ini.Get("token", "serial", "0");
  t.initialized = ini.GetInt("token", "initialized", 1) == 1;
  t.minPinLen = ini.GetInt("token", "minPinLen", 4);
  t.maxPinLen = ini.GetInt("token", "maxPinLen", 16);
  t.userPin = ini.Get("token", "userPin");
  t.pinIsDefault = ini.GetInt("token", "pinIsDefault", 0) == 1;
  t.maxTries = ini.GetInt("token", "maxTries", 6);
  t.triesLeft = ini.GetInt("token", "triesLeft", t.maxTries);

  t.objects = ObjectsOf(folder, ini);
  return t;
}

}  // namespace vtoken
