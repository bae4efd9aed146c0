#include "token_state.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "base/der/der.h"

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

// A file's identity for the caches: its modification time and size.
struct Stamp {
  std::filesystem::file_time_type time{};
  std::uintmax_t size = static_cast<std::uintmax_t>(-1);
  bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const std::string& path) {
  std::error_code error;
  const auto p = std::filesystem::u8path(path);
  Stamp stamp;
  stamp.time = std::filesystem::last_write_time(p, error);
  if (!error)
    stamp.size = std::filesystem::file_size(p, error);
  return error ? Stamp{} : stamp;
}

// Every PKCS#11 call asks for the configuration and the token, and a full
// token holds 195 files: files are parsed again only when they changed.
std::map<std::string, std::pair<Stamp, std::shared_ptr<const IniFile>>>& IniCache() {
  static std::map<std::string, std::pair<Stamp, std::shared_ptr<const IniFile>>> cache;
  return cache;
}

std::shared_ptr<const IniFile> CachedIni(const std::string& path) {
  auto& cache = IniCache();
  const Stamp stamp = StampOf(path);
  auto it = cache.find(path);
  if (it == cache.end() || !(it->second.first == stamp)) {
    if (cache.size() > 64)
      cache.clear();
    it = cache
             .insert_or_assign(
                 path, std::pair{stamp, std::make_shared<const IniFile>(IniFile::Load(path))})
             .first;
  }
  return it->second.second;
}

// Writes a file this module reads. Its parsed copy is dropped at once: a
// rewrite of the same size within the clock's tick keeps its stamp.
bool SaveIni(const IniFile& ini, const std::string& path) {
  IniCache().erase(path);
  return ini.Save(path);
}

// Hex digits as bytes; anything else in the text is skipped.
std::string FromHex(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    const int digit =
        std::isxdigit(static_cast<unsigned char>(c))
            ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10))
            : -1;
    if (digit < 0)
      continue;
    if (high < 0) {
      high = digit;
    } else {
      out += static_cast<char>(high * 16 + digit);
      high = -1;
    }
  }
  return out;
}

std::shared_ptr<const RsaPrivateKey> PrivateKeyFile(const std::string& folder,
                                                    const std::string& file) {
  if (file.empty())
    return nullptr;
  auto key = RsaPrivateKey::FromDer(ReadFile(Join(folder, file)));
  return key ? std::make_shared<const RsaPrivateKey>(std::move(*key)) : nullptr;
}

// The token's objects. Handles follow file order, so they stay the same while
// the file does. The certificate files are read again when token.ini changes.
std::shared_ptr<const std::vector<Object>> ObjectsOf(const std::string& folder,
                                                     const IniFile& ini) {
  static std::map<std::string, std::pair<Stamp, std::shared_ptr<const std::vector<Object>>>> cache;
  const Stamp stamp = StampOf(Join(folder, "token.ini"));
  if (auto it = cache.find(folder); it != cache.end() && it->second.first == stamp)
    return it->second.second;

  const bool publicKeys = ini.GetInt("token", "publicKeys", 1) != 0;
  std::vector<Object> objects;
  CK_OBJECT_HANDLE next = 1;
  for (const std::string& section : ini.Sections()) {
    if (section.rfind("container:", 0) != 0)
      continue;
    const std::string name = section.substr(10);
    const std::string label = ini.Get(section, "label", name);
    const std::string hexId = ini.Get(section, "id");
    const std::string id = hexId.empty() ? name : FromHex(hexId);
    for (const bool exchange : {true, false}) {
      // One key; several files are its certificates, renewed on that key.
      std::vector<std::string> certificates;
      std::istringstream files(ini.Get(section, exchange ? "exchange" : "signature"));
      for (std::string file; files >> file;)
        if (std::string der = ReadFile(Join(folder, file)); !der.empty())
          certificates.push_back(std::move(der));
      if (certificates.empty())
        continue;
      const auto modulus = Modulus(certificates.front());
      objects.push_back(
          {next++, CKO_PRIVATE_KEY, id, label, "", modulus, exchange, true,
           PrivateKeyFile(folder, ini.Get(section, exchange ? "exchangeKey" : "signatureKey")),
           ini.GetInt(section, "alwaysAuthenticate", 0) == 1});
      if (publicKeys)
        objects.push_back({next++, CKO_PUBLIC_KEY, id, label, "", modulus, exchange, false});
      for (const std::string& der : certificates)
        objects.push_back({next++, CKO_CERTIFICATE, id, label, der, {}, exchange, false});
    }
  }
  next = 1000;
  for (const auto& [name, file] : ini.Entries("standalone")) {
    const std::string der = ReadFile(Join(folder, file));
    if (der.empty())
      continue;
    objects.push_back({next, CKO_CERTIFICATE, "standalone:" + name, name, der, {}, false, false});
    ++next;
  }
  if (cache.size() > 64)
    cache.clear();
  auto shared = std::make_shared<const std::vector<Object>>(std::move(objects));
  cache.insert_or_assign(folder, std::pair{stamp, shared});
  return shared;
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
  return SaveIni(fresh, Join(folder, "token.ini"));
}

Config LoadConfig() {
  Config config;
  const char* env = std::getenv("VTOKEN_CONFIG");
  config.path = env && *env ? env : ModuleFolder() + "vtoken.ini";
  const auto file = CachedIni(config.path);
  const IniFile& ini = *file;
  const auto base = std::filesystem::u8path(config.path).parent_path();
  config.osLocking = ini.GetInt("module", "osLocking", 1) != 0;
  config.pinExpired = ini.GetInt("module", "pinExpired", 0) != 0;
  config.staleTokenInfo = ini.GetInt("module", "staleTokenInfo", 0) != 0;
  config.plugBetweenCalls = ini.Get("module", "plugBetweenCalls");
  config.objectsAfterMs = std::max(0, ini.GetInt("module", "objectsAfterMs", 0));
  const int count = std::max(0, std::min(ini.GetInt("slots", "count", 0), 64));
  for (int i = 0; i < count; ++i) {
    config.insertions.push_back(ini.GetInt("slots", "inserted" + std::to_string(i), 0));
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

bool ObjectsReadable(const Config& config) {
  if (config.objectsAfterMs == 0)
    return true;
  std::error_code error;
  const auto changed =
      std::filesystem::last_write_time(std::filesystem::u8path(config.path), error);
  return error || std::filesystem::file_time_type::clock::now() - changed >=
                      std::chrono::milliseconds(config.objectsAfterMs);
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

void PlugIntoFirstEmptySlot(const std::string& folder) {
  const Config config = LoadConfig();
  IniFile ini = IniFile::Load(config.path);
  for (std::size_t i = 0; i < config.slotFolders.size(); ++i) {
    if (!config.slotFolders[i].empty())
      continue;
    const std::string n = std::to_string(i);
    ini.Set("slots", "slot" + n, folder);
    ini.Set("slots", "inserted" + n, std::to_string(config.insertions[i] + 1));
    ini.Set("module", "plugBetweenCalls", "");
    SaveIni(ini, config.path);
    return;
  }
}

std::optional<Token> LoadToken(const std::string& folder) {
  Token t;
  t.folder = folder;
  const auto file = CachedIni(Join(folder, "token.ini"));
  const IniFile& ini = *file;
  if (ini.Sections().empty())
    return std::nullopt;
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
  t.signDelayMs = std::max(0, ini.GetInt("token", "signDelayMs", 0));

  t.objects = ObjectsOf(folder, ini);
  return t;
}

}  // namespace vtoken
