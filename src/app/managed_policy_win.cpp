#include "app/managed_policy_win.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "win32/event_log_win.h"
#include "base/diagnostic_log.h"
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

std::wstring FolderOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

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

bool UserCanChange(const std::wstring& path, bool folder) {
  const UniqueKernelHandle token = UnprivilegedToken();
  if (!token)
    return true;
  constexpr SECURITY_INFORMATION kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), kParts, nullptr, 0, &size);
  if (size == 0)
    return true;
  std::vector<BYTE> descriptor(size);
  if (!GetFileSecurityW(path.c_str(), kParts, descriptor.data(), size, &size))
    return true;
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  PRIVILEGE_SET privileges{};
  DWORD privilegesSize = sizeof privileges, granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(descriptor.data(), token.get(), MAXIMUM_ALLOWED, &mapping, &privileges,
                   &privilegesSize, &granted, &allowed) ||
      !allowed)
    return false;  // nothing at all is granted
  // Rights the DACL grants to change what is there; an owner's implied right
  // to change the DACL is not counted (a folder a user created also carries
  // that user's write entry).
  const DWORD change = folder ? (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD)
                              : (FILE_WRITE_DATA | FILE_APPEND_DATA);
  return (granted & change) != 0;
}

void LoadActivePolicy() {
  RegistryPolicySource source;
  std::vector<IgnoredPolicyValue> ignored;
  Policy policy = ReadPolicy(source, ignored);
  // A module by full path is loaded only from where the user cannot put one.
  if (policy.Pkcs11Module && IsFullPath(*policy.Pkcs11Module)) {
    const std::wstring& module = *policy.Pkcs11Module;
    if (GetFileAttributesW(module.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ignored.push_back({L"Pkcs11Module", L"\"" + module + L"\" does not exist"});
      policy.Pkcs11Module.reset();
    } else if (UserCanChange(module, false) || UserCanChange(FolderOf(module), true)) {
      ignored.push_back(
          {L"Pkcs11Module", L"\"" + module + L"\" or its folder can be changed by the user"});
      policy.Pkcs11Module.reset();
    }
  }
  for (const IgnoredPolicyValue& value : ignored) {
    WriteDiagnosticLog(L"Policy value ignored: " + value.name + L": " + value.reason);
    ReportMonitorEvent(MonitorEvent::kPolicyValueIgnored, {value.name, value.reason});
  }
  ActivePolicy = std::move(policy);
}
