// The monitor's job end to end: the virtual token plugged and pulled with the
// driver tool, the user's certificate store looked at from outside.
#include <windows.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "e2e_support_win_test.h"
#include "test_paths.h"
#include "base/files_win.h"
#include "base/text_win.h"
#include "tests/support/test_stores_win.h"

namespace {

constexpr wchar_t kSoftware[] = L"Microsoft Enhanced Cryptographic Provider v1.0";

// A stand-in for the library in front of the real one, renamed beside it
// (CorvanexMgr_real.dll), to which it forwards.
void InstallLibraryStandIn(const std::wstring& appDir, const wchar_t* standIn) {
  ASSERT_TRUE(
      MoveFileW((appDir + L"CorvanexMgr.dll").c_str(), (appDir + L"CorvanexMgr_real.dll").c_str()));
  ASSERT_TRUE(CopyFileW(standIn, (appDir + L"CorvanexMgr.dll").c_str(), FALSE));
}

class MonitoringTest : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    RemoveProviderCertificates();
    RemoveTree(L"C:\\KeyLog");
    // The copies of a scenario that are not ours.
    DeleteSubjectFromStore(L"MY", L"Alice Example (ends soon)");
    DeleteSubjectFromStore(L"MY", L"Bob Example");
    // Trusted roots stay, and a root already trusted is not asked for: each
    // scenario of the root prompt starts without them.
    DeleteSubjectFromStore(L"ROOT", L"Demo Root CA");
    DeleteSubjectFromStore(L"ROOT", L"Demo Partner Root CA");
  }
  // How often text is in today's diagnostic log.
  static int CountInLog(const std::string& text) {
    const std::string log = DiagnosticLog();
    int n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
      ++n;
    return n;
  }
  // The registration passes in today's diagnostic log.
  static int DiagnosticLogPasses() {
    return CountInLog("> Mon CSP:Microsoft Base Smart Card Crypto Provider\r\n");
  }
  InstalledMonitor monitor;
};

}  // namespace

TEST_F(MonitoringTest, PlugRegistersAndUnplugRemoves) {
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }))
      << CountProviderCertificates();
  const auto my = ListStore(L"MY");
  const auto exchange = std::find_if(
      my.begin(), my.end(), [](const StoredCert& c) { return c.subject == L"Alice Example"; });
  ASSERT_NE(exchange, my.end());
  EXPECT_EQ(exchange->container, L"Alice-Keys");
  EXPECT_EQ(exchange->keySpec, 1u);
  // The standalone CA certificates follow the containers' in the same pass.
  EXPECT_TRUE(WaitUntil([] { return StoreHas(L"ROOT", L"Demo Root CA"); }));
  EXPECT_TRUE(WaitUntil([] { return StoreHas(L"CA", L"Demo Issuing CA"); }));

  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}

// A library of the published boundary's 20 functions, without our sweep of
// an earlier run's certificates: it starts, registers and removes as before.
TEST_F(MonitoringTest, ALibraryOfTheTwentyFunctionsServes) {
  CreateDirectoryW(L"C:\\KeyLog", nullptr);
  InstallLibraryStandIn(monitor.appDir(), PUBLISHED_BOUNDARY_LIBRARY_PATH);
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }))
      << CountProviderCertificates();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  monitor.EndSession(process);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_NE(DiagnosticLog().find("no remove_marked_certs_from_store"), std::string::npos)
      << DiagnosticLog();
}

TEST_F(MonitoringTest, AnUnlistedProductIdStartsNoSearch) {
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"bob", L"1234");
  // Longer than a listed id's wait and first search tick.
  EXPECT_FALSE(
      WaitUntil([] { return CountProviderCertificates() > 0; }, std::chrono::milliseconds(4500)));
  monitor.Plug(1, L"alice", L"FF05");  // a listed id: both tokens are found now
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 5; }))
      << CountProviderCertificates();
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}

TEST_F(MonitoringTest, ATokenPresentAtStartIsRegisteredAndEndingRemovesIt) {
  CreateDirectoryW(L"C:\\KeyLog", nullptr);
  const std::wstring bob = monitor.tokenFolder(L"bob");
  WriteBytes(monitor.vtokenConfig(),
             "[slots]\r\ncount=1\r\nslot0=" + std::string(bob.begin(), bob.end()) + "\r\n");
  TempFolder out;
  UniqueKernelHandle manager = StartManagerStandIn(out.path() + L"mgr.txt");
  ASSERT_TRUE(manager);

  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }));
  EXPECT_TRUE(WaitUntil([] { return StoreHas(L"ROOT", L"Demo Root CA"); }));

  // One log line for the one registration pass.
  EXPECT_EQ(DiagnosticLogPasses(), 1);

  monitor.EndSession(process);
  ASSERT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
  ASSERT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=CLOSE"));
  TerminateProcess(manager.get(), 0);
  const std::string received = ReadBytes(out.path() + L"mgr.txt");
  EXPECT_EQ(received, "manager window ready\r\ndwData=0 text=CLOSE\r\n");

  // The next start adds its pass to the same day's log.
  process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }));
  EXPECT_EQ(DiagnosticLogPasses(), 2);
  monitor.EndSession(process);
  ASSERT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
}

TEST_F(MonitoringTest, ARunThatNeverEndedLeavesNothingForTheNextStart) {
  // Beside ours: another card's certificate under the provider we fall back
  // to, and the user's own copy of Alice's signature certificate.
  const std::string otherCard = ReadBytes(monitor.tokenFolder(L"bob") + L"\\bob.der");
  const std::string own = ReadBytes(monitor.tokenFolder(L"alice") + L"\\alice-soon.der");
  ASSERT_TRUE(ImportToMy(otherCard, kTestProvider, L"another card"));
  ASSERT_TRUE(ImportToMy(own, kSoftware, L"imported from a PFX file"));
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1 + 3; }))
      << CountProviderCertificates();

  // Killed as a crash or a power cut would end it: no shutdown ran.
  TerminateProcess(process, 1);
  ASSERT_TRUE(InstalledMonitor::WaitForExit(process));
  monitor.Unplug(0);
  EXPECT_EQ(CountProviderCertificates(), 1 + 3);

  process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 1; }, std::chrono::seconds(5)))
      << CountProviderCertificates();
  const auto my = ListStore(L"MY");
  EXPECT_EQ(std::count_if(my.begin(), my.end(),
                          [](const StoredCert& c) { return c.container == L"another card"; }),
            1);
  EXPECT_EQ(std::count_if(my.begin(), my.end(),
                          [](const StoredCert& c) {
                            return c.container == L"imported from a PFX file" &&
                                   c.provider == kSoftware;
                          }),
            1);
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
  EXPECT_EQ(CountProviderCertificates(), 1);
}

TEST_F(MonitoringTest, AMissingPkcs11ModuleIsReportedAndTheProgramEnds) {
  DeleteFileW((monitor.appDir() + L"v9arc_pkcs11.dll").c_str());
  CreateFolderTree(monitor.userDataDir());
  WriteBytes(monitor.userDataDir() + L"UserConfig.ini", "[APPConfig]\r\nLanguageID=2052\r\n");
  TempFolder out;
  UniqueKernelHandle manager =
      StartManagerStandIn(out.path() + L"mgr.txt", L"--timeout 60 --exit-on-close");
  ASSERT_TRUE(manager);

  HANDLE process = monitor.Start();
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = FindWindowW(nullptr, L"提示")) != nullptr; }));
  std::wstring text;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t buffer[256] = {};
    GetWindowTextW(child, buffer, 256);
    text += std::wstring(buffer) + L"|";
  }
  EXPECT_NE(text.find(L"pkcs11初始化失败"), std::wstring::npos);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  // The shutdown still ran: the manager heard "CLOSE".
  EXPECT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=CLOSE"));
}

TEST_F(MonitoringTest, TheUsersOwnCopyOfATokenCertificateStaysAsItWas) {
  const std::string own = ReadBytes(monitor.tokenFolder(L"alice") + L"\\alice-exchange.der");
  ASSERT_TRUE(ImportToMy(own, kSoftware, L"imported from a PFX file"));
  const auto before = ListStore(L"MY");

  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  // The other three are registered; the user's copy is not taken over.
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 3; }))
      << CountProviderCertificates();
  monitor.Unplug(0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));

  const auto after = ListStore(L"MY");
  const auto own_copy = [](const std::vector<StoredCert>& certs) {
    return std::count_if(certs.begin(), certs.end(), [](const StoredCert& c) {
      return c.subject == L"Alice Example" && c.provider == kSoftware &&
             c.container == L"imported from a PFX file" && c.keySpec == AT_KEYEXCHANGE;
    });
  };
  EXPECT_EQ(own_copy(before), 1);
  EXPECT_EQ(own_copy(after), 1);
  EXPECT_EQ(after.size(), before.size());
  DeleteSubjectFromStore(L"MY", L"Alice Example");
}

TEST_F(MonitoringTest, RegCertFromTheManagerRegistersAgainAndAnswersLoadCert) {
  TempFolder out;
  UniqueKernelHandle manager = StartManagerStandIn(out.path() + L"mgr.txt", L"--timeout 90");
  ASSERT_TRUE(manager);
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));

  // Our certificates gone from the store behind the monitor's back: "RegCert"
  // (in any case of letters) clears what is left and fills the store again.
  RemoveProviderCertificates();
  ASSERT_EQ(monitor.RunAsManager(L"send --text regCERT", out.path() + L"s.txt"), 0);
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }))
      << CountProviderCertificates();
  EXPECT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=LoadCert"));

  // With no token in, the manager hears "LoadCert" all the same.
  monitor.Unplug(0);
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  ASSERT_EQ(monitor.RunAsManager(L"send --text RegCert", out.path() + L"s.txt"), 0);
  EXPECT_TRUE(WaitUntil([&] {
    const std::string received = ReadBytes(out.path() + L"mgr.txt");
    return received.find("text=LoadCert") != received.rfind("text=LoadCert");
  }));
  // A word that is no command changes nothing; nor does the command from a
  // window of the manager's class in any program but the manager beside the
  // monitor (here the same driver run from elsewhere).
  ASSERT_EQ(monitor.RunAsManager(L"send --text \"RegCert1\"", out.path() + L"s.txt"), 0);
  ASSERT_EQ(RunDriver(L"send --text RegCert", out.path() + L"s.txt"), 0);
  EXPECT_FALSE(WaitUntil(
      [&] {
        const std::string received = ReadBytes(out.path() + L"mgr.txt");
        return std::count(received.begin(), received.end(), '\n') > 3;  // a third answer
      },
      std::chrono::milliseconds(2500)));

  monitor.EndSession(process);
  ASSERT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  ASSERT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=CLOSE"));
  TerminateProcess(manager.get(), 0);
  EXPECT_EQ(ReadBytes(out.path() + L"mgr.txt"),
            "manager window ready\r\ndwData=0 text=LoadCert\r\ndwData=0 text=LoadCert\r\n"
            "dwData=0 text=CLOSE\r\n");
}

// A 2 MB message, from any window and from the manager itself: refused,
// nothing changes, the monitor runs on and ends as always.
TEST_F(MonitoringTest, AnOversizedMessageChangesNothing) {
  TempFolder out;
  UniqueKernelHandle manager = StartManagerStandIn(out.path() + L"mgr.txt", L"--timeout 90");
  ASSERT_TRUE(manager);
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  // Wine cannot deliver a message this large: the sender waits in vain (2 s
  // here), the monitor's GetMessageW meets an error and goes on.
  for (const wchar_t* message : {L"--text RegCert", L"--data 1 --text x"}) {
    RunDriver(L"send --pad 1048576 --wait-ms 2000 " + std::wstring(message), out.path() + L"s.txt");
    monitor.RunAsManager(L"send --pad 1048576 --wait-ms 2000 " + std::wstring(message),
                         out.path() + L"s.txt");
  }
  EXPECT_FALSE(InstalledMonitor::WaitForExit(process, std::chrono::seconds(3)));
  EXPECT_EQ(CountProviderCertificates(), 4);
  monitor.EndSession(process);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
  ASSERT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=CLOSE"));
  TerminateProcess(manager.get(), 0);
  EXPECT_EQ(ReadBytes(out.path() + L"mgr.txt"), "manager window ready\r\ndwData=0 text=CLOSE\r\n");
}

namespace {

// The caption of the system's prompt to trust a root, as the stand-in at
// ROOT_PROMPT_LIBRARY_PATH shows it (Wine's crypt32 asks nothing).
constexpr wchar_t kRootPrompt[] = L"Security Warning";

HWND WaitForRootPrompt(HANDLE process) {
  HWND prompt = nullptr;
  WaitUntil([&] {
    return (prompt = InstalledMonitor::FindProcessWindow(process, L"#32770", kRootPrompt)) !=
           nullptr;
  });
  return prompt;
}

// Whether the monitor's window answers within a second.
bool Answers(HANDLE process) {
  HWND main = InstalledMonitor::FindProcessWindow(process, L"TQZCorvanexE_TrayIconCer");
  DWORD_PTR result = 0;
  return main && SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
}

}  // namespace

// While the root prompt is up its message loop delivers the monitor's events:
// the token pulled, a screen unlock and two "RegCert". Each waits for the
// pass and runs once after it; nothing hangs and nothing of ours is left.
TEST_F(MonitoringTest, EventsDuringTheRootPromptRunAfterIt) {
  CreateDirectoryW(L"C:\\KeyLog", nullptr);
  InstallLibraryStandIn(monitor.appDir(), ROOT_PROMPT_LIBRARY_PATH);
  monitor.WriteUserSettings("CertTips=0\r\n");  // no expiry boxes after the pass
  TempFolder out;
  UniqueKernelHandle manager = StartManagerStandIn(out.path() + L"mgr.txt", L"--timeout 90");
  ASSERT_TRUE(manager);
  HANDLE process = monitor.Start();
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_NE(WaitForRootPrompt(process), nullptr);
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));

  ASSERT_EQ(monitor.RunAsManager(L"send --text RegCert", out.path() + L"s.txt"), 0);
  ASSERT_EQ(monitor.RunAsManager(L"send --text RegCert", out.path() + L"s.txt"), 0);
  PostMessageW(main, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 0);
  monitor.Unplug(0);
  // The removal's notification, the unlock and the re-registration's timer
  // each arrive inside the prompt and are held.
  EXPECT_TRUE(WaitUntil([] {
    const std::string log = DiagnosticLog();
    return log.find("Held until the root prompt is answered: the removal") != std::string::npos &&
           log.find("answered: the re-scan") != std::string::npos &&
           log.find("answered: the manager's re-registration") != std::string::npos;
  })) << DiagnosticLog();
  EXPECT_TRUE(Answers(process));
  EXPECT_EQ(CountProviderCertificates(), 4);  // nothing ran inside

  ASSERT_TRUE(AnswerMessageBox(process, kRootPrompt, IDYES, std::chrono::seconds(5)));
  // After the pass: the removal took the certificates, the re-registration
  // ran once with no token in.
  EXPECT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }))
      << CountProviderCertificates();
  EXPECT_TRUE(WaitForFileText(out.path() + L"mgr.txt", "text=LoadCert"));
  EXPECT_TRUE(StoreHas(L"ROOT", L"Demo Root CA"));
  EXPECT_TRUE(Answers(process));

  monitor.EndSession(process);
  ASSERT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
  TerminateProcess(manager.get(), 0);
  const std::string received = ReadBytes(out.path() + L"mgr.txt");
  EXPECT_EQ(received.find("text=LoadCert"), received.rfind("text=LoadCert")) << received;
}

// A token with its default PIN whose pass stops at the root prompt: the PIN
// check waits for the answer, then asks, so its dialogs never stack on the
// system's prompt.
TEST_F(MonitoringTest, TheDefaultPinCheckWaitsForTheRootPrompt) {
  InstallLibraryStandIn(monitor.appDir(), ROOT_PROMPT_LIBRARY_PATH);
  monitor.WriteUserSettings("CertTips=0\r\nDefaultPINMode=1\r\n");
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_NE(WaitForRootPrompt(process), nullptr);
  const auto pinDialog = [&] {
    return InstalledMonitor::FindProcessWindow(process, L"TUPinSetForm") != nullptr;
  };
  // The check's timer ticks every 500 ms: six ticks go by under the prompt.
  EXPECT_FALSE(WaitUntil(pinDialog, std::chrono::seconds(3)));
  ASSERT_TRUE(AnswerMessageBox(process, kRootPrompt, IDYES, std::chrono::seconds(5)));
  EXPECT_TRUE(WaitUntil(pinDialog));
  monitor.EndSession(process);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
}

// Logoff while the root prompt is up: the program ends at once, the pass
// below the prompt adds nothing more, and none of our certificates is left.
// The root declined on the way is not asked for again within the run.
TEST_F(MonitoringTest, LogoffDuringTheRootPromptEndsCleanly) {
  InstallLibraryStandIn(monitor.appDir(), ROOT_PROMPT_LIBRARY_PATH);
  monitor.WriteUserSettings("CertTips=0\r\n");
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(AnswerMessageBox(process, kRootPrompt, IDNO, std::chrono::seconds(20)));
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  monitor.Unplug(0);
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; }));
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  EXPECT_EQ(InstalledMonitor::FindProcessWindow(process, L"#32770", kRootPrompt), nullptr);

  monitor.Plug(1, L"bob");  // Bob's token has a root of its own: the prompt comes
  ASSERT_NE(WaitForRootPrompt(process), nullptr);
  monitor.EndSession(process);
  EXPECT_EQ(InstalledMonitor::WaitForExit(process), 0u);
  EXPECT_EQ(CountProviderCertificates(), 0);
}

// A day's worth of use holds on to nothing: 200 unplug/plug cycles and 50
// "RegCert" passes. Two faults kept memory here under Wine: adding a CA
// certificate already in the store kept a copy of the whole store (about
// 350 kB a pass), and each certificate removed kept the whole logical "MY"
// store with every certificate in it (about 14 kB a pass).
TEST_F(MonitoringTest, MemoryStaysFlatOverADayOfCyclesAndRegistrationPasses) {
  // The manager's re-registrations run at most once in five seconds: one
  // every fourth cycle keeps them apart without waiting.
  constexpr int kRounds = 200, kWarmUp = 12, kCyclesPerPass = 4;
  CreateDirectoryW(L"C:\\KeyLog", nullptr);  // where each pass says what it found
  monitor.WriteUserSettings("CertTips=0\r\nDefaultPINMode=0\r\n");
  TempFolder out;
  UniqueKernelHandle manager = StartManagerStandIn(out.path() + L"mgr.txt", L"--timeout 1200");
  ASSERT_TRUE(manager);
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  // Windows would give the private bytes; Wine gives nothing for another
  // process, so its Unix process is looked at: the anonymous memory of the
  // one whose command line names this copy of the monitor.
  const std::string copy = ToAnsi(monitor.appDir() + L"CorvanexEMon.exe");
  const auto privateBytes = [&] {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &found);
    long long bytes = 0;
    for (BOOL more = find != INVALID_HANDLE_VALUE; more && !bytes;
         more = FindNextFileW(find, &found)) {
      const std::wstring proc = std::wstring(L"Z:\\proc\\") + found.cFileName;
      if (ReadBytes(proc + L"\\cmdline").find(copy) == std::string::npos)
        continue;
      const std::string status = ReadBytes(proc + L"\\status");
      const auto at = status.find("RssAnon:");
      if (at != std::string::npos)
        bytes = std::atoll(status.c_str() + at + 8) * 1024;
    }
    if (find != INVALID_HANDLE_VALUE)
      FindClose(find);
    return bytes;
  };
  const auto loadCertsHeard = [&] {
    const std::string received = ReadBytes(out.path() + L"mgr.txt");
    int n = 0;
    for (auto at = received.find("text=LoadCert"); at != std::string::npos;
         at = received.find("text=LoadCert", at + 1))
      ++n;
    return n;
  };
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  long long start = 0;
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    if (round == kWarmUp)
      start = privateBytes();
    // The token goes out and comes back, then the manager's re-registration
    // finds it in again.
    monitor.Unplug(0);
    ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 0; })) << round;
    monitor.Plug(0, L"alice");
    ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; })) << round;
    if (round % kCyclesPerPass != 0)
      continue;
    const int passes = round / kCyclesPerPass + 1;
    ASSERT_EQ(monitor.RunAsManager(L"send --text RegCert", out.path() + L"s.txt"), 0);
    ASSERT_TRUE(WaitUntil([&] { return loadCertsHeard() == passes; })) << round;
    // And that pass found the token in again: it registered one token.
    ASSERT_EQ(CountInLog("Registered again on the manager's request: 1 token(s)"), passes) << round;
  }
  Sleep(500);
  const long long growth = privateBytes() - start;
  std::printf("anonymous memory: %lld kB at the start, %+lld kB after %d cycles and %d passes\n",
              start / 1024, growth / 1024, kRounds, kRounds / kCyclesPerPass);
  EXPECT_GT(start, 0);
  EXPECT_LT(growth, 2 * 1024 * 1024);
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
  TerminateProcess(manager.get(), 0);
}

TEST_F(MonitoringTest, TheSettingsFileSwitchesOnTheTraceOfModuleCalls) {
  CreateDirectoryW(L"C:\\KeyLog", nullptr);
  monitor.WriteUserSettings("ModuleTrace=1\r\n");
  HANDLE process = monitor.Start();
  ASSERT_NE(monitor.WaitForMainWindow(), nullptr);
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountProviderCertificates() == 4; }));
  monitor.EndSession(process);
  ASSERT_TRUE(InstalledMonitor::WaitForExit(process));
  const std::string trace = ReadBytes(L"C:\\KeyLog\\CorvanexMgr_trace.txt");
  EXPECT_NE(trace.find("C_Initialize(args) = CKR_OK"), std::string::npos) << trace;
  EXPECT_NE(trace.find("C_GetAttributeValue("), std::string::npos);
  EXPECT_NE(trace.find("C_Finalize() = CKR_OK"), std::string::npos);
}

TEST_F(MonitoringTest, TheProgramAnswersThroughoutAnInsertion) {
  HANDLE process = monitor.Start();
  HWND main = monitor.WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  // Messages to the main window from the moment of the arrival through the
  // settling time (3.1 s): each is answered, within 200 ms except while the
  // registration pass itself runs. The token is looked for early, so its
  // certificates are in well before the settling time is over.
  std::atomic<bool> done{false};
  std::atomic<int> settling{0}, late{0}, unanswered{0};
  const auto plugged = std::chrono::steady_clock::now();
  std::thread ping([&] {
    while (!done) {
      const auto sent = std::chrono::steady_clock::now();
      DWORD_PTR result = 0;
      const bool answered =
          SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
      const auto took = std::chrono::steady_clock::now() - sent;
      ++settling;
      unanswered += !answered;
      late += took > std::chrono::milliseconds(200);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  monitor.Plug(0, L"alice");
  const bool registered = WaitUntil([] { return CountProviderCertificates() == 4; });
  const auto toLastCertificate = std::chrono::steady_clock::now() - plugged;
  std::this_thread::sleep_until(plugged + std::chrono::milliseconds(3500));
  done = true;
  ping.join();
  EXPECT_TRUE(registered);
  std::printf(
      "arrival to the last certificate: %lld ms\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(toLastCertificate).count()));
  // The goal is a second; a loaded two-core machine may take up to twice that.
  EXPECT_LT(toLastCertificate, std::chrono::milliseconds(2000));
  EXPECT_GT(settling, 20);  // the whole settling time was watched
  EXPECT_EQ(unanswered, 0);
  std::printf("answers later than 200 ms: %d of %d, unanswered: %d\n", late.load(), settling.load(),
              unanswered.load());
  EXPECT_LE(late, 4);  // the pings that met the early and the settling registration pass
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}
