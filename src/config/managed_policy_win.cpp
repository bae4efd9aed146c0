#include "config/managed_policy_win.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "base/unique_handle_win.h"

namespace {

class RegistryPolicySource : public PolicySource {
 public:
  RegistryPolicySource() {
    // One key for 32- and 64-bit programs alike.
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_READ | KEY_WOW64_64KEY,
                  machine_.put());
    RegOpenKeyExW(HKEY_CURRENT_USER, kPolicyKeyPath, 0, KEY_READ, user_.put());
  }

  std::optional<RegistryValue> Read(bool machine, std::wstring_view name) override {
    const HKEY key = machine ? machine_.get() : user_.get();
    if (!key)
      return std::nullopt;
    const std::wstring valueName(name);
    // The value may change between the two calls: read until the size holds.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD type = 0, size = 0;
      if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
      RegistryValue value{type, std::vector<std::uint8_t>(size)};
      const LONG read =
          RegQueryValueExW(key, valueName.c_str(), nullptr, &type, value.data.data(), &size);
      if (read == ERROR_MORE_DATA)
        continue;
      if (read != ERROR_SUCCESS)
        return std::nullopt;
      value.type = type;
      value.data.resize(size);
      return value;
    }
    return std::nullopt;
  }

 private:
  UniqueRegKey machine_, user_;
};

// The process's token without the Administrators group: what the user could
// do from any unelevated program.
UniqueKernelHandle UnprivilegedToken() {
  UniqueKernelHandle process;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &raw))
    return process;
  process.reset(raw);
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size))
    return {};
  SID_AND_ATTRIBUTES deny{admins, 0};
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(process.get(), DISABLE_MAX_PRIVILEGE, 1, &deny, 0, nullptr, 0, nullptr,
                             &restricted))
    return {};
  UniqueKernelHandle restrictedToken(restricted);
  HANDLE impersonation = nullptr;
  if (!DuplicateToken(restrictedToken.get(), SecurityImpersonation, &impersonation))
    return {};
  return UniqueKernelHandle(impersonation);
}

}  // namespace

namespace {

// The rights the token is granted on path; nothing when the answer is not
// known (no descriptor, or the check itself failed).
std::optional<DWORD> GrantedRights(HANDLE token, const std::wstring& path) {
  constexpr SECURITY_INFORMATION kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), kParts, nullptr, 0, &size);
  if (size == 0)
    return std::nullopt;
  std::vector<BYTE> descriptor(size);
  if (!GetFileSecurityW(path.c_str(), kParts, descriptor.data(), size, &size))
    return std::nullopt;
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  PRIVILEGE_SET privileges{};
  DWORD privilegesSize = sizeof privileges, granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(descriptor.data(), token, MAXIMUM_ALLOWED, &mapping, &privileges,
                   &privilegesSize, &granted, &allowed))
    return std::nullopt;
  return allowed ? granted : 0;  // the owner's implied rights included
}

}  // namespace

std::vector<std::wstring> FoldersAbove(const std::wstring& path) {
  std::wstring full = path;
  std::replace(full.begin(), full.end(), L'/', L'\\');
  // The root stays a folder: "C:" alone would name the drive's current
  // directory. A share's root is \\server\share\.
  std::size_t rootEnd = 0;
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    rootEnd = 3;
  } else if (full.rfind(L"\\\\", 0) == 0) {
    const std::size_t server = full.find(L'\\', 2);
    const std::size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
    if (share == std::wstring::npos)
      return {};
    rootEnd = share + 1;
  } else {
    return {};
  }
  std::vector<std::wstring> folders;
  for (std::size_t end = full.find_last_of(L'\\'); end != std::wstring::npos && end + 1 >= rootEnd;
       end = end == 0 ? std::wstring::npos : full.find_last_of(L'\\', end - 1))
    folders.push_back(end + 1 == rootEnd ? full.substr(0, rootEnd) : full.substr(0, end));
  return folders;
}

bool OrdinaryUserCouldChange(PSECURITY_DESCRIPTOR descriptor, DWORD rights) {
  static const DWORD kTrustedInstaller[] = {80,         956008885,  3418522649,
                                            1831038044, 1853292631, 2271478464};
  const auto trusted = [](PSID sid) {
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
      return true;
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(sid);
    if (!authority || std::memcmp(authority, &nt, sizeof nt) != 0 ||
        *GetSidSubAuthorityCount(sid) != std::size(kTrustedInstaller))
      return false;
    for (DWORD i = 0; i < std::size(kTrustedInstaller); ++i)
      if (*GetSidSubAuthority(sid, i) != kTrustedInstaller[i])
        return false;
    return true;
  };
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner || !trusted(owner) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return true;
  if (!present || !dacl)
    return true;
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
      return true;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
      continue;  // a denial only takes away; an inherit-only ACE is for what is made below
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    DWORD mask = ace->Mask;
    MapGenericMask(&mask, &mapping);
    if ((mask & rights) && !trusted(reinterpret_cast<PSID>(&ace->SidStart)))
      return true;
  }
  return false;
}

namespace {

// The process runs as a service account: its rights are no user's.
bool HostIsServiceAccount() {
  UniqueKernelHandle process;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    return false;
  process.reset(raw);
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(process.get(), TokenUser, buffer, sizeof buffer, &size))
    return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  return IsWellKnownSid(user, WinLocalSystemSid) || IsWellKnownSid(user, WinLocalServiceSid) ||
         IsWellKnownSid(user, WinNetworkServiceSid);
}

// Whether an ordinary user could do any of rights to path, by its security.
bool AnyUserCan(const std::wstring& path, DWORD rights) {
  constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), kParts, nullptr, 0, &size);
  if (size == 0)
    return true;
  std::vector<BYTE> descriptor(size);
  return !GetFileSecurityW(path.c_str(), kParts, descriptor.data(), size, &size) ||
         OrdinaryUserCouldChange(descriptor.data(), rights);
}

}  // namespace

bool UserCouldReplaceModule(const std::wstring& module) {
  const bool service = HostIsServiceAccount();
  const UniqueKernelHandle token = service ? UniqueKernelHandle() : UnprivilegedToken();
  const std::vector<std::wstring> folders = FoldersAbove(module);
  if ((!service && !token) || folders.empty())
    return true;
  // Any right that changes what is there, or who may change it: the file's
  // contents, its security (an owner may always rewrite its DACL) or its
  // name; a new file in its folder (its dependencies load from there); and
  // on every folder above, removing or renaming the next one down.
  constexpr DWORD kTakeOver = WRITE_DAC | WRITE_OWNER | DELETE;
  const auto can = [&](const std::wstring& path, DWORD rights) {
    if (service)
      return AnyUserCan(path, rights);
    const std::optional<DWORD> granted = GrantedRights(token.get(), path);
    return !granted || (*granted & rights) != 0;  // unknown counts as yes
  };
  if (can(module, kTakeOver | FILE_WRITE_DATA | FILE_APPEND_DATA))
    return true;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const DWORD folderRights =
        i == 0 ? kTakeOver | FILE_DELETE_CHILD | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY
               : kTakeOver | FILE_DELETE_CHILD;
    if (can(folders[i], folderRights))
      return true;
  }
  return false;
}

Policy ReadManagedPolicy(std::vector<IgnoredPolicyValue>& ignored) {
  RegistryPolicySource source;
  Policy policy = ReadPolicy(source, ignored);
  // A module by full path is loaded only from where the user cannot put one.
  for (auto [name, value] : {std::pair{L"Pkcs11Module", &policy.Pkcs11Module},
                             std::pair{L"Pkcs11Module64", &policy.Pkcs11Module64}}) {
    if (!*value || !IsFullPath(**value))
      continue;
    const std::wstring module = **value;
    if (GetFileAttributesW(module.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ignored.push_back({name, L"\"" + module + L"\" does not exist"});
      value->reset();
    } else if (UserCouldReplaceModule(module)) {
      ignored.push_back(
          {name, L"\"" + module + L"\" or a folder above it can be changed by the user"});
      value->reset();
    }
  }
  return policy;
}
