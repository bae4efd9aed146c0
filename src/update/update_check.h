#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/fixed_date.h"
#include "config/policy.h"
#include "config/profile.h"
#include "i18n/res_strs.h"
#include "config/monitor_events.h"
#include "monitor/program_state.h"

// True when the server's version is strictly greater than the client's:
// dotted numbers part by part (missing parts 0) when both texts are such,
// else code unit by code unit, a text that is the beginning of the other the
// smaller.
bool IsNewerVersion(std::wstring_view server, std::wstring_view client);

// One line of the update log: "<date> <time>：<message>" and CR LF, the time
// left out when now is exactly midnight.
std::wstring UpdateLogLine(const LocalDateTime& now,
                           const std::wstring& dateText,
                           const std::wstring& timeText,
                           const std::wstring& message);

// A worker thread's exit code while it still runs, and what a wait stopped
// early reports.
inline constexpr std::int32_t kStillActive = 259;

// Whether a downloaded installer may run: signed, validly, by the publisher
// of the running monitor, with a certificate not revoked. status is the
// failing check's code where there is one. A revocation list that cannot be
// read refuses the installer too: the installed version keeps working, and
// the next check tries again, so an outage only delays an update, while
// running a revoked publisher's installer with an administrator's rights
// cannot be undone.
struct InstallerSignature {
  enum Verdict {
    kSameSigner,
    kMonitorUnsigned,
    kInstallerNotTrusted,
    kOtherSigner,
    kSignerRevoked,
    kRevocationUnknown,
  };
  Verdict verdict = kInstallerNotTrusted;
  std::int32_t status = 0;
};

// The log line of a refused installer, empty for one that may run.
std::wstring InstallerRefusalText(const InstallerSignature& signature);

// Whether file version a ("major.minor.build.revision", missing parts 0) is
// numerically higher than b; false when either is not such a version.
bool IsHigherFileVersion(std::wstring_view a, std::wstring_view b);

// The downloaded installer, held open for reading only: from its check until
// its start nothing can change or replace it.
class HeldInstaller {
 public:
  virtual ~HeldInstaller() = default;
  virtual InstallerSignature Signature() = 0;
  // Its own file version, "a.b.c.d"; empty when it has none.
  virtual std::wstring FileVersion() = 0;
  // 0 once it runs, else the system's error (1223 when the user declined
  // the elevation prompt).
  virtual std::int32_t Start() = 0;
};

// A download running on a worker thread.
class PendingDownload {
 public:
  virtual ~PendingDownload() = default;
  // The download's HRESULT once it has ended, kStillActive before.
  virtual std::int32_t ExitCode() = 0;
};

// What the update check needs of the system.
class UpdatePorts {
 public:
  virtual ~UpdatePorts() = default;
  // The per-user update folder, ending in a backslash.
  virtual std::wstring UpdateFolder() = 0;
  virtual ProfileFiles& Profiles() = 0;
  virtual void RemoveFile(const std::wstring& path) = 0;
  // Starts fetching address into path on a worker thread, from the server
  // and never from the cache (whose copy is dropped first). A thread that
  // cannot start is a download that ended with that error.
  virtual std::unique_ptr<PendingDownload> StartDownload(const std::wstring& address,
                                                         const std::wstring& path) = 0;
  // Lets the user interface run for about this long.
  virtual void PumpMessagesFor(int milliseconds) = 0;
  // Appends one line to the log; a file error escapes as an exception.
  virtual void AppendUpdateLog(const std::wstring& logPath, const std::wstring& message) = 0;
  // A Yes/No question owned by the main window, captioned P_MSGTitle.
  virtual bool AskYesNo(const std::wstring& text) = 0;
  // Null when the file cannot be opened so (gone, or open for writing).
  virtual std::unique_ptr<HeldInstaller> HoldInstaller(const std::wstring& path) = 0;
  // The running program's own file version.
  virtual std::wstring InstalledVersion() = 0;
  // Whether the Windows Installer package installed the product: its
  // deployment brings updates then, and the setup program would refuse to
  // install over it.
  virtual bool InstalledByPackage() = 0;
  // One event in the Application log, for the administrators' tools.
  virtual void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) = 0;
};

struct UpdateVersions {
  std::wstring Client;
  std::wstring Server;
  std::wstring InstallerAddress;
};

enum UpdateReadResult : int {
  kVersionsRead = 0,
  kNoClientConfig = 2,
  kNoVersionFile = 3,
};

// Brings the user's client configuration (userPath) up to the installed
// program's (shippedPath): a Version other than the shipped one is replaced
// (after an upgrade, or a reinstall of an older release); everything else, such as a VersionFile
// address the user or an administrator set, is kept. True when it changed.
bool BringClientConfigUpToDate(ProfileFiles& files,
                               const std::wstring& shippedPath,
                               const std::wstring& userPath);

// The once-per-run check for a newer release, on the main thread.
class UpdateCheck {
 public:
  UpdateCheck(ProgramState& state,
              UpdatePorts& ports,
              const TResStrs& strings,
              const Policy& policy = kNoPolicy)
      : state_(state), ports_(ports), strings_(strings), policy_(policy) {}

  int ReadUpdateVersions(const std::wstring& clientConfigPath, UpdateVersions& versions);
  void CheckForUpdate();
  // Windows announced a change of policy.
  void UsePolicy(const Policy& policy) { policy_ = policy; }

 private:
  // Fetches address into path while the user interface runs; the HRESULT, or
  // kStillActive when Exit or the manager stopped the wait first.
  std::int32_t DownloadAndWait(const std::wstring& address, const std::wstring& path);
  // Why the held installer must not run (its signer, or no newer version than
  // the one installed), empty when it may.
  std::wstring RefusalOf(HeldInstaller* installer);

  ProgramState& state_;
  UpdatePorts& ports_;
  const TResStrs& strings_;
  Policy policy_;
};
