#include "update/update_check.h"

#include <array>
#include <cstdio>
#include <optional>

#include "config/fixed_names.h"

namespace {

// Log messages; the log is read by support staff, in the product's language.
constexpr wchar_t kLogNoClientConfig[] = L"客户端配置文件不存在";
constexpr wchar_t kLogNoVersionFile[] = L"服务端版本更新失败";
constexpr wchar_t kLogNoNewVersion[] = L"未检测到新版本";
constexpr wchar_t kLogServerNewer[] = L"服务器版本高于客户端版本";
constexpr wchar_t kLogUpdateDeclined[] = L"放弃更新";
constexpr wchar_t kLogPackageInstall[] = L"本机由 Windows Installer 安装包安装，由其部署更新";
constexpr wchar_t kLogUpdateStarted[] = L"开始更新...";
constexpr wchar_t kLogDownloadFailed[] = L"失败更新，返回值 = ";
constexpr wchar_t kLogInstallDeclined[] = L"放弃安装";
constexpr wchar_t kLogInstallerUnreadable[] = L"拒绝安装：无法打开安装程序";
constexpr wchar_t kLogInstallerNotStarted[] = L"安装程序未能启动，错误码 = ";

std::wstring VersionsLine(const UpdateVersions& versions) {
  return L"Server Ver = " + versions.Server + L"  Client Ver = " + versions.Client;
}

std::wstring Hex32(std::int32_t code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

namespace {

// "a.b.c..." as numbers: at most maxParts parts of digits, each at most
// maxPart, missing parts 0; nothing when the text is not such a version.
std::optional<std::array<std::uint32_t, 8>> ParseDottedVersion(std::wstring_view text,
                                                               std::size_t maxParts,
                                                               std::uint32_t maxPart) {
  std::array<std::uint32_t, 8> parts{};
  std::size_t part = 0;
  bool digit = false;
  for (wchar_t c : text) {
    if (c == L'.' && digit && part + 1 < maxParts) {
      ++part;
      digit = false;
    } else if (c >= L'0' && c <= L'9') {
      const std::uint64_t next = std::uint64_t{parts[part]} * 10 + (c - L'0');
      if (next > maxPart)
        return std::nullopt;
      parts[part] = static_cast<std::uint32_t>(next);
      digit = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digit)
    return std::nullopt;
  return parts;
}

}  // namespace

bool IsNewerVersion(std::wstring_view server, std::wstring_view client) {
  // Dotted numbers compare as numbers (1.0.10 after 1.0.9), whatever else by
  // code unit, the shorter prefix first.
  const auto left = ParseDottedVersion(server, 8, 0xFFFFFFFFu);
  const auto right = ParseDottedVersion(client, 8, 0xFFFFFFFFu);
  if (left && right)
    return *left > *right;
  return server.compare(client) > 0;
}

std::wstring UpdateLogLine(const LocalDateTime& now,
                           const std::wstring& dateText,
                           const std::wstring& timeText,
                           const std::wstring& message) {
  std::wstring line = dateText;
  if (now.hour != 0 || now.minute != 0 || now.second != 0)
    line += L" " + timeText;
  return line + L"\xFF1A" + message + L"\r\n";
}

std::wstring InstallerRefusalText(const InstallerSignature& signature) {
  switch (signature.verdict) {
    case InstallerSignature::kSameSigner:
      return L"";
    case InstallerSignature::kMonitorUnsigned:
      return L"拒绝安装：本程序没有有效签名，无法核对安装程序";
    case InstallerSignature::kInstallerNotTrusted:
      return L"拒绝安装：安装程序没有有效签名，错误码 = " + Hex32(signature.status);
    case InstallerSignature::kOtherSigner:
      return L"拒绝安装：安装程序的签名者与本程序不同";
    case InstallerSignature::kSignerRevoked:
      return L"拒绝安装：安装程序的签名证书已被吊销";
    case InstallerSignature::kRevocationUnknown:
      return L"拒绝安装：无法确认安装程序的签名证书未被吊销，错误码 = " + Hex32(signature.status);
  }
  return L"";
}

bool BringClientConfigUpToDate(ProfileFiles& files,
                               const std::wstring& shippedPath,
                               const std::wstring& userPath) {
  if (!files.Exists(shippedPath) || !files.Exists(userPath))
    return false;
  const std::wstring installed = files.Open(shippedPath)->ReadString(L"Mgr", L"Version", L"");
  const auto user = files.Open(userPath);
  if (installed.empty() || installed == user->ReadString(L"Mgr", L"Version", L""))
    return false;
  return user->WriteString(L"Mgr", L"Version", installed);
}

bool IsHigherFileVersion(std::wstring_view a, std::wstring_view b) {
  const auto left = ParseDottedVersion(a, 4, 65535), right = ParseDottedVersion(b, 4, 65535);
  return left && right && *left > *right;
}

std::wstring UpdateCheck::RefusalOf(HeldInstaller* installer) {
  if (!installer)
    return kLogInstallerUnreadable;
  if (std::wstring refusal = InstallerRefusalText(installer->Signature()); !refusal.empty())
    return refusal;
  // An older installer, validly signed, offered under a higher version text.
  const std::wstring offered = installer->FileVersion(), installed = ports_.InstalledVersion();
  if (!IsHigherFileVersion(offered, installed))
    return L"拒绝安装：安装程序的版本（" + offered + L"）不高于已安装的版本（" + installed + L"）";
  return L"";
}

int UpdateCheck::ReadUpdateVersions(const std::wstring& clientConfigPath,
                                    UpdateVersions& versions) {
  versions = {};
  ProfileFiles& files = ports_.Profiles();
  if (!files.Exists(clientConfigPath))
    return kNoClientConfig;
  std::wstring versionFileAddress;
  {
    const auto client = files.Open(clientConfigPath);
    versions.Client = client->ReadString(L"Mgr", L"Version", L"");
    versionFileAddress = client->ReadString(L"URL", L"VersionFile", L"");
  }
  if (policy_.UpdateVersionFile)
    versionFileAddress = *policy_.UpdateVersionFile;  // the administrator's server
  // A stale copy must never stand in for a fetch that failed.
  const std::wstring serverPath = ports_.UpdateFolder() + names::kServerConfigFile;
  if (files.Exists(serverPath))
    ports_.RemoveFile(serverPath);
  if (DownloadAndWait(versionFileAddress, serverPath) != 0 || !files.Exists(serverPath))
    return kNoVersionFile;
  const auto server = files.Open(serverPath);
  versions.Server = server->ReadString(L"Mgr", L"Version", L"");
  versions.InstallerAddress = server->ReadString(L"URL", L"UpdateFile", L"");
  return kVersionsRead;
}

void UpdateCheck::CheckForUpdate() {
  const std::wstring folder = ports_.UpdateFolder();
  const std::wstring logPath = folder + names::kUpdateLogFile;
  const auto log = [&](const std::wstring& message) { ports_.AppendUpdateLog(logPath, message); };
  const auto refuse = [&](const std::wstring& reason) {
    log(reason);
    ports_.RecordEvent(MonitorEvent::kInstallerRefused, {reason});
  };

  UpdateVersions versions;
  switch (ReadUpdateVersions(folder + names::kClientConfigIni, versions)) {
    case kNoClientConfig:
      log(kLogNoClientConfig);
      return;
    case kNoVersionFile:
      log(kLogNoVersionFile);
      return;
  }
  log(VersionsLine(versions));
  const std::wstring installerPath = folder + names::kInstallerFile;
  if (!IsNewerVersion(versions.Server, versions.Client)) {
    log(kLogNoNewVersion);
    return;
  }
  log(kLogServerNewer);
  // Offering the setup program there would ask at every start for an
  // install that the setup program then refuses.
  if (ports_.InstalledByPackage()) {
    log(kLogPackageInstall);
    return;
  }
  ports_.RecordEvent(MonitorEvent::kUpdateOffered, {versions.Client, versions.Server});
  if (!ports_.AskYesNo(strings_.Update_Info)) {
    log(kLogUpdateDeclined);
    return;
  }
  log(kLogUpdateStarted);
  const std::int32_t result = DownloadAndWait(versions.InstallerAddress, installerPath);
  if (result != 0) {
    log(kLogDownloadFailed + std::to_wstring(result));
    return;
  }
  // Plain HTTP can be answered by anyone: only a newer installer of our own
  // publisher runs, and the user is not asked about any other.
  if (const std::wstring refusal = RefusalOf(ports_.HoldInstaller(installerPath).get());
      !refusal.empty()) {
    refuse(refusal);
    return;
  }
  if (!ports_.AskYesNo(strings_.Update_Down_OK)) {
    log(kLogInstallDeclined);
    return;
  }
  // The question may have stood for hours over a folder every program of the
  // user can write: the file is checked again, held, and that file starts.
  const auto installer = ports_.HoldInstaller(installerPath);
  if (const std::wstring refusal = RefusalOf(installer.get()); !refusal.empty()) {
    refuse(refusal);
    return;
  }
  if (const std::int32_t error = installer->Start(); error != 0) {
    log(kLogInstallerNotStarted + std::to_wstring(error));
    ports_.RecordEvent(MonitorEvent::kUpdateNotStarted, {std::to_wstring(error)});
    return;
  }
  ports_.RecordEvent(MonitorEvent::kUpdateStarted, {installer->FileVersion()});
}

std::int32_t UpdateCheck::DownloadAndWait(const std::wstring& address, const std::wstring& path) {
  const auto download = ports_.StartDownload(address, path);
  // No time limit: the worker may outlive a wait that Exit or the manager
  // stopped, and finishes its download on its own.
  for (;;) {
    if (state_.ExitRequested || state_.UpdateCancelled)
      return kStillActive;
    const std::int32_t code = download->ExitCode();
    if (code != kStillActive)
      return code;
    ports_.PumpMessagesFor(500);
  }
}
