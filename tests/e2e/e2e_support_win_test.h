#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "test_paths.h"
#include "tests/support/test_files_win.h"
#include "base/unique_handle_win.h"

// Chooses item index (0: show manager, 1: advanced settings, 2: Exit) of
// the tray menu, as a user would with the mouse; false when the driver failed.
bool ChooseTrayMenuItem(int index);
// Opens the advanced settings dialog of process through its tray menu; the
// dialog once shown, or null.
HWND OpenSettingsDialog(HANDLE process);
// The driver tool as the manager application, writing what it receives to
// outputPath; returns once its window is ready (null when it never was).
UniqueKernelHandle StartManagerStandIn(const std::wstring& outputPath,
                                       const std::wstring& options = L"--timeout 60");

// The provider Wine registers ours with (Wine has no key for our own).
inline constexpr wchar_t kTestProvider[] = L"Microsoft Base Smart Card Crypto Provider";
// Removes every certificate of that provider from the user's "MY" store.
void RemoveProviderCertificates();
// The certificates of that provider in the user's "MY" store.
int CountProviderCertificates();
// Our provider, as its installers register it.
inline constexpr wchar_t kOurProvider[] = L"Veltrox Pelkin V9Arc CSP V1.1";
// The certificates in the user's "MY" store linked to provider.
int CountCertificatesLinkedTo(const wchar_t* provider);
// Whether the user's store ("MY", "ROOT", "CA") holds a certificate of subject.
bool StoreHas(const wchar_t* store, const std::wstring& subject);

// The next message box of process captioned caption, answered with button
// (IDOK, IDYES, IDNO); its text, or nothing when none appeared in time.
std::optional<std::wstring> AnswerMessageBox(HANDLE process,
                                             const std::wstring& caption,
                                             int button,
                                             std::chrono::milliseconds timeout);

// The message boxes of process captioned caption, answered with OK one after
// another as they appear, until none has appeared for quiet; their texts.
std::vector<std::wstring> AnswerMessageBoxes(HANDLE process,
                                             const std::wstring& caption,
                                             std::chrono::milliseconds quiet);

// The texts of a list view of another process, row by row, columns columns
// each.
std::vector<std::vector<std::wstring>> ListViewRows(HWND list, int columns);
// Polls cond until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The diagnostic log the monitor writes while C:\KeyLog exists (empty when
// there is none).
std::string DiagnosticLog();

// Python's http.server from the system, run as the Unix program it is (Wine
// starts those directly): the update server. Serves a fresh folder of the
// build tree named name.
class LoopbackServer {
 public:
  explicit LoopbackServer(const std::string& name);
  ~LoopbackServer();

  bool Listening() const { return !port_.empty(); }
  std::wstring Url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + port_ + L"/" + path;
  }
  const std::wstring& root() const { return root_; }
  // The paths asked for so far, one per line.
  std::string Requests() const;
  // The version file: version, with its installer at installerPath.
  void OfferVersion(const std::wstring& version, const std::wstring& installerPath);
  // Serves one of the update installers the tests are given, by its name.
  void Serve(const std::wstring& installer) {
    ServeAs(UPDATE_INSTALLERS_PATH + installer, installer);
  }
  void ServeAs(const std::wstring& file, const std::wstring& name);

 private:
  std::string unixRoot_;
  std::wstring root_;
  std::wstring port_;
};

// The setup program's first page, "CorvanexE Setup: Installation Folder",
// once visible, or null.
HWND InstallerWindow(std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Goes through the setup program's pages as a user does ("Install", then
// "Close"); whether its process ended within timeout.
bool ClickThroughInstaller(std::chrono::milliseconds timeout);

// A copy of the product folder in a temporary place, with its own APPDATA,
// from which the real monitor is started.
class InstalledMonitor {
 public:
  InstalledMonitor();
  ~InstalledMonitor();  // ends whatever copy is still running

  const std::wstring& appDir() const { return appDir_; }    // ends in a backslash
  const std::wstring& appData() const { return appData_; }  // the monitor's APPDATA
  std::wstring userDataDir() const { return appData_ + L"Veltrox\\CorvanexE\\"; }

  // The virtual token module is installed as the PKCS#11 module, with two
  // empty slots; Plug and Unplug go through the driver tool like a user's hand.
  std::wstring vtokenConfig() const { return appDir_ + L"vtoken.ini"; }
  std::wstring tokenFolder(const std::wstring& name) const {
    return root_.path() + L"tokens\\" + name;
  }
  // The user's settings file, written before the monitor starts.
  void WriteUserSettings(const std::string& appConfigLines);
  void Plug(int slot, const std::wstring& token, const std::wstring& pid = L"FF04");
  // The driver tool installed as the manager (CallMainAppName beside the
  // monitor), the one program whose commands the monitor takes, run with args.
  int RunAsManager(const std::wstring& args, const std::wstring& outputPath);
  void Unplug(int slot, const std::wstring& pid = L"FF04");

  // Starts a copy; returns its process handle (owned by this object). After
  // CaptureEvents(), copies run with Wine's event-log channel on: what each
  // report of an event receives, Wine prints to the test's own standard
  // error, which the test runner collects in MONITOR_WINE_OUTPUT.
  HANDLE Start();
  void CaptureEvents();
  // What Wine printed since CaptureEvents().
  std::string CapturedEvents() const;
  // The main window of the copy started last, once its start-up has finished
  // (null when it ended first).
  HWND WaitForMainWindow();
  // A top-level window of the given class owned by process (with a caption:
  // a visible one with that caption), or null.
  static HWND FindProcessWindow(HANDLE process,
                                const wchar_t* className,
                                const wchar_t* caption = nullptr);
  // Exit code once process has ended within the timeout.
  static std::optional<DWORD> WaitForExit(
      HANDLE process,
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Asks the running copy to end as Windows does at logoff: query, then close.
  void EndSession(HANDLE process);

 private:
  TempFolder root_;
  std::wstring appDir_;
  std::wstring appData_;
  std::vector<UniqueKernelHandle> processes_;
  std::wstring wineOutput_;  // empty: events are not captured
  std::size_t wineOutputStart_ = 0;
};

// One scenario with the real monitor: our certificates cleared before and
// after, the monitor started with given settings and ended as at logoff.
class MonitorScenario : public ::testing::Test {
 protected:
  void SetUp() override { RemoveProviderCertificates(); }
  void TearDown() override { RemoveProviderCertificates(); }
  // Writes the settings lines (when given), starts the monitor and waits
  // until its start-up has finished; false when it did not.
  bool StartWith(const std::string& settingsLines);
  // Ends the monitor as Windows does at logoff and checks that it is gone.
  void End();

  InstalledMonitor monitor;
  HANDLE process = nullptr;
};
