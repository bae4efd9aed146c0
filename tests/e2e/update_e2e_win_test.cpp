// The update check of the real program against a loopback web server, and
// the product's installer.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "e2e_support_win_test.h"
#include "test_paths.h"
#include "config/data_folders.h"
#include "base/files_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

namespace {

using namespace std::chrono_literals;

// The monitor runs with a Chinese system code page (936, set for this test
// program), in which its log lines are written and read back here.
class UpdateTest : public MonitorScenario {
 protected:
  void SetUp() override {
    MonitorScenario::SetUp();
    ASSERT_TRUE(server.Listening());
  }
  // The prompts' caption is then "提示".
  bool StartChinese() { return StartWith("LanguageID=2052\r\n"); }
  // The server offers serverVersion with its installer at installerPath, the
  // client is at 1.0.0.1, and the monitor starts.
  bool StartWithOffer(const std::wstring& serverVersion, const std::wstring& installerPath) {
    server.OfferVersion(serverVersion, installerPath);
    ClientAt(L"1.0.0.1", server.Url(L"ServerConfig.txt"));
    return StartChinese();
  }
  std::wstring UpdateFolder() const { return monitor.userDataDir() + L"update\\"; }
  // The log's last 64 kB, which hold every line a scenario looks for.
  std::wstring Log() const {
    const std::string bytes = ReadTail(UpdateFolder() + L"Logs.txt", 64 * 1024);
    std::wstring text(bytes.size(), L'\0');
    text.resize(MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()),
                                    text.data(), static_cast<int>(text.size())));
    return text;
  }
  // For the record, in the test's output.
  void PrintLog() const {
    const std::wstring log = Log();
    std::string utf8(log.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, log.data(), static_cast<int>(log.size()),
                                    utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr));
    std::printf("update log:\n%s\n", utf8.c_str());
  }
  void ClientAt(const std::wstring& version, const std::wstring& versionFile) {
    CreateFolderTree(UpdateFolder());
    WriteBytes(UpdateFolder() + L"ClientConfig.ini",
               ToAnsi(L"[Mgr]\r\nVersion=" + version + L"\r\n[URL]\r\nVersionFile=" + versionFile +
                      L"\r\n"));
  }
  // Waits for the log to hold text (the check runs about 6 s after start),
  // times times.
  bool LogHas(const std::wstring& text,
              std::chrono::milliseconds timeout = 30s,
              std::size_t times = 1) {
    return WaitUntil(
        [&] {
          const std::wstring log = Log();
          std::size_t found = 0;
          for (std::size_t at = 0; (at = log.find(text, at)) != std::wstring::npos; ++at)
            ++found;
          return found >= times;
        },
        timeout);
  }
  static std::string ReadTail(const std::wstring& path, LONGLONG bytes) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
      return {};
    const LONGLONG start = std::max<LONGLONG>(0, size.QuadPart - bytes);
    SetFilePointerEx(file.get(), LARGE_INTEGER{.QuadPart = start}, nullptr, FILE_BEGIN);
    std::string tail(static_cast<std::size_t>(size.QuadPart - start), '\0');
    DWORD read = 0;
    ReadFile(file.get(), tail.data(), static_cast<DWORD>(tail.size()), &read, nullptr);
    tail.resize(read);
    return tail;
  }
  // The two prompts, answered Yes; prompt 2 when the second is true.
  void AcceptUpdate() {
    const auto prompt = AnswerMessageBox(process, L"提示", IDYES, 30s);
    ASSERT_TRUE(prompt);
    EXPECT_EQ(*prompt, L"检测到新版本，是否进行更新？");
  }
  // Serves installer as the newer version and checks that it is refused with
  // line in the log: no prompt 2, no installer started.
  void ExpectRefused(const std::wstring& installer, const std::wstring& line) {
    server.Serve(installer);
    ASSERT_TRUE(StartWithOffer(L"1.0.0.2", installer));
    AcceptUpdate();
    EXPECT_TRUE(LogHas(line, 60s)) << Log();
    EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));
    EXPECT_EQ(InstallerWindow(0s), nullptr);
    End();
  }
  // Serves installer as the newer version and checks that, both prompts
  // answered Yes, it starts.
  void ExpectStarted(const std::wstring& installer) {
    server.Serve(installer);
    ASSERT_TRUE(StartWithOffer(L"1.0.0.2", installer));
    AcceptUpdate();
    ASSERT_TRUE(AnswerMessageBox(process, L"提示", IDYES, 60s)) << Log();
    HWND window = InstallerWindow();
    ASSERT_NE(window, nullptr);
    CloseInstaller(window);
    EXPECT_EQ(Log().find(L"拒绝安装"), std::wstring::npos) << Log();
    End();
  }
  // The user leaves the installer before it ends the monitor. What waits for
  // the installer then starts the monitor again, and that copy, meeting the
  // running one, ends at once: the scenario goes on with its one monitor.
  static void CloseInstaller(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    UniqueKernelHandle installer(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    TerminateProcess(installer.get(), 0);
    WaitForSingleObject(installer.get(), 10000);
    EXPECT_TRUE(WaitUntil(
        [] {
          return ProcessCount(L"CorvanexE_Restart.exe") == 0 &&
                 ProcessCount(L"CorvanexEMon.exe") == 1;
        },
        20s));
  }
  // How many processes run a program file of this name.
  static int ProcessCount(const wchar_t* name) {
    UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{sizeof entry};
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
      count += _wcsicmp(entry.szExeFile, name) == 0;
    return count;
  }

  LoopbackServer server{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// This version's installer run silently into target; its output in folder.
void InstallSilently(const std::wstring& target, const std::wstring& folder) {
  UniqueKernelHandle setup =
      StartProcess(L"\"" INSTALLER_PATH L"\" /S /D=" + target, folder + L"setup.txt");
  ASSERT_TRUE(setup);
  ASSERT_EQ(InstalledMonitor::WaitForExit(setup.get(), 60s), 0u);
}

}  // namespace

TEST_F(UpdateTest, WithoutAClientConfigurationNothingIsFetched) {
  // Start-up seeds the client configuration from the shipped template.
  DeleteFileW((monitor.appDir() + L"config\\ClientConfig.txt").c_str());
  DeleteFileW((UpdateFolder() + L"ClientConfig.ini").c_str());
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"\xFF1A客户端配置文件不存在\r\n")) << Log();
  EXPECT_EQ(server.Requests(), "");
  End();
}

TEST_F(UpdateTest, ServerDownOrVersionFileMissingIsAFailedFetch) {
  ClientAt(L"1.0", L"http://127.0.0.1:9/ServerConfig.txt");  // nothing listens there
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"服务端版本更新失败")) << Log();
  End();

  // A 404 page is no version file, even where the download reports success.
  ClientAt(L"1.0", server.Url(L"missing/ServerConfig.txt"));
  DeleteFileW((UpdateFolder() + L"Logs.txt").c_str());
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"服务端版本更新失败")) << Log();
  EXPECT_NE(server.Requests().find("/missing/ServerConfig.txt"), std::string::npos);
  EXPECT_FALSE(FileExists(UpdateFolder() + L"ServerConfig.txt"));
  End();
}

TEST_F(UpdateTest, SameVersionIsNoNewVersion) {
  ASSERT_TRUE(StartWithOffer(L"1.0.0.1", L"good.exe"));
  EXPECT_TRUE(LogHas(L"未检测到新版本")) << Log();
  EXPECT_NE(Log().find(L"\xFF1AServer Ver = 1.0.0.1  Client Ver = 1.0.0.1\r\n"),
            std::wstring::npos);
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));
  End();
}

// Where the package installed the product its deployment updates it: the
// newer version is logged, and nobody is asked for a setup program that would
// refuse to install over the package's install.
TEST_F(UpdateTest, APackageInstallIsOfferedNoSetupProgram) {
  UniqueRegKey record;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Veltrox\\CorvanexE", 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, record.put(), nullptr),
            ERROR_SUCCESS);
  const std::wstring folder = monitor.appDir();
  RegSetValueExW(record.get(), L"InstallFolder", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(folder.c_str()),
                 static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  server.Serve(L"good.exe");
  const bool started = StartWithOffer(L"1.0.0.2", L"good.exe");
  const bool logged = LogHas(L"本机由 Windows Installer 安装包安装，由其部署更新");
  const bool asked = AnswerMessageBox(process, L"提示", IDNO, 1s).has_value();
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Veltrox\\CorvanexE");
  ASSERT_TRUE(started);
  EXPECT_TRUE(logged) << Log();
  EXPECT_FALSE(asked);
  EXPECT_EQ(server.Requests().find("good.exe"), std::string::npos);
  End();
}

TEST_F(UpdateTest, NewerVersionIsDownloadedAndOurSignedInstallerStarts) {
  server.Serve(L"good.exe");
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"good.exe"));
  AcceptUpdate();
  const auto prompt2 = AnswerMessageBox(process, L"提示", IDYES, 60s);
  ASSERT_TRUE(prompt2);
  EXPECT_EQ(*prompt2, L"新版本已下载完毕，是否安装？");
  HWND installer = InstallerWindow();
  ASSERT_NE(installer, nullptr);
  // Held by the monitor from its last check until it ends: no program can
  // write, rename or delete the file the installer runs from.
  const std::wstring held = UpdateFolder() + L"Pelkin_Setup.exe";
  EXPECT_FALSE(UniqueFile(CreateFileW(held.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr)));
  EXPECT_FALSE(DeleteFileW(held.c_str()));
  EXPECT_FALSE(MoveFileW(held.c_str(), (held + L".old").c_str()));
  CloseInstaller(installer);
  const std::wstring log = Log();
  EXPECT_NE(log.find(L"服务器版本高于客户端版本\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"开始更新...\r\n"), std::wstring::npos);
  EXPECT_EQ(log.find(L"失败更新"), std::wstring::npos);
  EXPECT_EQ(ReadBytes(UpdateFolder() + L"Pelkin_Setup.exe"),
            ReadBytes(UPDATE_INSTALLERS_PATH L"good.exe"));
  End();

  // A later start meets an installer of an earlier day: the new download
  // takes its place.
  WriteBytes(UpdateFolder() + L"Pelkin_Setup.exe", "an installer of an earlier day");
  ASSERT_TRUE(StartChinese());
  AcceptUpdate();
  ASSERT_TRUE(AnswerMessageBox(process, L"提示", IDNO, 60s));
  EXPECT_TRUE(LogHas(L"放弃安装\r\n", 5s)) << Log();
  EXPECT_EQ(ReadBytes(UpdateFolder() + L"Pelkin_Setup.exe"),
            ReadBytes(UPDATE_INSTALLERS_PATH L"good.exe"));
  End();

  // A folder where the installer should go is a download that failed.
  DeleteFileW((UpdateFolder() + L"Pelkin_Setup.exe").c_str());
  CreateDirectoryW((UpdateFolder() + L"Pelkin_Setup.exe").c_str(), nullptr);
  ASSERT_TRUE(StartChinese());
  AcceptUpdate();
  EXPECT_TRUE(LogHas(L"失败更新，返回值 = -2147024891\r\n", 60s)) << Log();  // access denied
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));
  End();
  RemoveTree(UpdateFolder() + L"Pelkin_Setup.exe");
}

TEST_F(UpdateTest, EveryLaterStartMeetsWhatTheEarlierOnesLeft) {
  ASSERT_TRUE(StartWithOffer(L"1.0.0.1", L"good.exe"));
  ASSERT_TRUE(LogHas(L"未检测到新版本")) << Log();
  End();
  ASSERT_TRUE(FileExists(UpdateFolder() + L"ServerConfig.txt"));

  // The next day: the version file of the day before is replaced by a new
  // fetch, and the program goes on.
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"未检测到新版本", 30s, 2)) << Log();
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  End();

  // A log of 200 MB (it grows without limit) is appended to at its end.
  const std::wstring logPath = UpdateFolder() + L"Logs.txt";
  {
    UniqueFile log(
        CreateFileW(logPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(log);
    ASSERT_TRUE(
        SetFilePointerEx(log.get(), LARGE_INTEGER{.QuadPart = 200ll << 20}, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(log.get()));
  }
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(WaitUntil([&] { return Log().ends_with(L"未检测到新版本\r\n"); }, 30s)) << Log();
  End();

  // A log the program may not write: the check ends there with the error
  // box every failed file step gives, and the program goes on.
  SetFileAttributesW(logPath.c_str(), FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(StartChinese());
  const auto error = AnswerMessageBox(process, L"PKI管理工具   ", IDOK, 30s);
  SetFileAttributesW(logPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, L"File access denied.");
  End();

  // A folder where the version file goes: a fetch that failed.
  DeleteFileW(logPath.c_str());
  DeleteFileW((UpdateFolder() + L"ServerConfig.txt").c_str());
  CreateDirectoryW((UpdateFolder() + L"ServerConfig.txt").c_str(), nullptr);
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"服务端版本更新失败")) << Log();
  End();
  RemoveTree(UpdateFolder() + L"ServerConfig.txt");
}

TEST_F(UpdateTest, UnsignedInstallerIsRefused) {
  ExpectRefused(L"unsigned.exe", L"拒绝安装：安装程序没有有效签名，错误码 = 0x");
}

TEST_F(UpdateTest, InstallerOfAnotherSignerIsRefused) {
  ExpectRefused(L"other-signer.exe", L"拒绝安装：安装程序的签名者与本程序不同\r\n");
}

// The publisher renewed its certificate (same subject, same CA, new key):
// its installers still run.
TEST_F(UpdateTest, AnInstallerSignedByThePublishersRenewedCertificateStarts) {
  ExpectStarted(L"renewed.exe");
}

// Signed in 2024 with the publisher's certificate of that year, expired
// since, and timestamped then: the signature is still good.
TEST_F(UpdateTest, AnInstallerSignedWithAnExpiredCertificateButTimestampedStarts) {
  ExpectStarted(L"signed-2024.exe");
}

// The publisher's certificates that name the test CA's revocation list,
// served on its fixed loopback port: one revoked, one not, one whose list
// cannot be fetched (an update waits for a list it can read). Windows keeps a
// list it fetched until its next update, so a test may read it from there.
TEST_F(UpdateTest, AnInstallerOfARevokedCertificateIsRefused) {
  server.Serve(L"publisher-ca.crl");
  ExpectRefused(L"publisher-revoked.exe", L"拒绝安装：安装程序的签名证书已被吊销\r\n");
}

TEST_F(UpdateTest, AnInstallerWhoseCertificateTheListDoesNotNameStarts) {
  server.Serve(L"publisher-ca.crl");
  ExpectStarted(L"publisher-listed.exe");
}

TEST_F(UpdateTest, AnInstallerWhoseRevocationListCannotBeReadIsRefused) {
  ExpectRefused(L"publisher-unreachable-list.exe",
                L"拒绝安装：无法确认安装程序的签名证书未被吊销，错误码 = 0x");
}

// Our publisher's, of the next version, and refused by the system when
// started (as a declined elevation prompt is): the update reports that it did
// not start, and nothing waits to bring the monitor back.
TEST_F(UpdateTest, AnInstallerTheSystemDoesNotStartIsNotReportedAsStarted) {
  server.Serve(L"not-a-program.exe");
  monitor.CaptureEvents();
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"not-a-program.exe"));
  AcceptUpdate();
  ASSERT_TRUE(AnswerMessageBox(process, L"提示", IDYES, 60s)) << Log();
  EXPECT_TRUE(LogHas(L"安装程序未能启动，错误码 = ", 10s)) << Log();
  PrintLog();
  const std::string events = monitor.CapturedEvents();
  EXPECT_NE(events.find("0x80000517"), std::string::npos) << events;  // did not start
  EXPECT_EQ(events.find("0x40000516"), std::string::npos) << events;  // no "started"
  EXPECT_FALSE(FileExists(UpdateFolder() + L"CorvanexE_Restart.exe"));
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  End();
}

TEST_F(UpdateTest, InstallerChangedAfterSigningIsRefused) {
  ExpectRefused(L"altered.exe", L"拒绝安装：安装程序没有有效签名，错误码 = 0x");
}

// A validly signed installer of the installed version, offered under a
// higher version text (plain HTTP lets anyone on the path do that).
TEST_F(UpdateTest, AnInstallerNoNewerThanTheInstalledProgramIsRefused) {
  ExpectRefused(
      L"installed-version.exe",
      L"拒绝安装：安装程序的版本"
      L"（" MONITOR_VERSION_WTEXT L"）不高于已安装的版本（" MONITOR_VERSION_WTEXT L"）\r\n");
}

// The last question stands over a folder every program of the user can
// write: another signer's installer put in place meanwhile is refused.
TEST_F(UpdateTest, AnInstallerSwappedDuringTheLastQuestionIsRefused) {
  server.Serve(L"good.exe");
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"good.exe"));
  AcceptUpdate();
  HWND question = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return (question = InstalledMonitor::FindProcessWindow(process, L"#32770", L"提示")) !=
               nullptr;
      },
      60s));
  ASSERT_TRUE(CopyFileW(UPDATE_INSTALLERS_PATH L"other-signer.exe",
                        (UpdateFolder() + L"Pelkin_Setup.exe").c_str(), FALSE));
  ASSERT_TRUE(AnswerMessageBox(process, L"提示", IDYES, 5s));
  EXPECT_TRUE(LogHas(L"拒绝安装：安装程序的签名者与本程序不同\r\n", 20s)) << Log();
  EXPECT_EQ(InstallerWindow(2s), nullptr);
  End();
}

// After an upgrade the user's client configuration still names the version
// it was seeded with: a later start brings it up to the installed program,
// and keeps the address an administrator set.
TEST_F(UpdateTest, AnOlderClientConfigurationTakesTheInstalledVersion) {
  server.OfferVersion(MONITOR_VERSION_WTEXT, L"good.exe");
  ClientAt(L"1.0.0.0", server.Url(L"ServerConfig.txt"));
  ASSERT_TRUE(StartChinese());
  EXPECT_TRUE(LogHas(L"Client Ver = " MONITOR_VERSION_WTEXT L"\r\n")) << Log();
  EXPECT_TRUE(LogHas(L"未检测到新版本\r\n")) << Log();
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));
  End();
  EXPECT_NE(server.Requests().find("ServerConfig.txt"), std::string::npos);
}

TEST_F(UpdateTest, MissingInstallerIsAFailedDownload) {
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"gone.exe"));
  AcceptUpdate();
  EXPECT_TRUE(LogHas(L"失败更新，返回值 = -2146697211\r\n")) << Log();
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));
  End();
}

TEST_F(UpdateTest, ExitDuringASlowDownloadEndsTheProgramAtTheNextPoll) {
  server.Serve(L"good.exe");
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"slow/good.exe"));
  AcceptUpdate();
  ASSERT_TRUE(LogHas(L"开始更新...")) << Log();
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().find("/slow/") != std::string::npos; }));
  // The tray stays responsive during the download: Exit from its menu.
  ASSERT_TRUE(ChooseTrayMenuItem(2));
  EXPECT_EQ(InstalledMonitor::WaitForExit(process, 10s), 0u);
  EXPECT_TRUE(LogHas(L"失败更新，返回值 = 259\r\n", 1s)) << Log();
}

TEST_F(UpdateTest, UpdateCommandAnswersTheOpenPromptNo) {
  // A window of another program with the prompts' caption, which no command
  // of the manager may answer.
  HWND stranger = CreateWindowExW(0, L"STATIC", L"提示", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"good.exe"));
  ASSERT_TRUE(WaitUntil(
      [&] { return InstalledMonitor::FindProcessWindow(process, L"#32770", L"提示"); }, 30s));
  TempFolder out;
  // Only the manager commands the monitor: the same word from a window of
  // another class, or from no window, changes nothing.
  ASSERT_EQ(monitor.RunAsManager(L"send --text Update --anonymous", out.path() + L"s.txt"), 0);
  ASSERT_EQ(
      monitor.RunAsManager(L"send --text Update --sender-class Notepad", out.path() + L"s.txt"), 0);
  EXPECT_FALSE(LogHas(L"放弃更新\r\n", 2s)) << Log();
  EXPECT_NE(InstalledMonitor::FindProcessWindow(process, L"#32770", L"提示"), nullptr);
  ASSERT_EQ(monitor.RunAsManager(L"send --text Update", out.path() + L"s.txt"), 0);
  EXPECT_TRUE(LogHas(L"放弃更新\r\n", 5s)) << Log();
  EXPECT_EQ(InstalledMonitor::FindProcessWindow(process, L"#32770", L"提示"), nullptr);
  EXPECT_TRUE(IsWindow(stranger));
  DestroyWindow(stranger);
  EXPECT_EQ(server.Requests().find("good.exe"), std::string::npos);
  End();
}

TEST_F(UpdateTest, UpdateCommandDuringTheDownloadStopsTheWait) {
  server.Serve(L"good.exe");
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"slow/good.exe"));
  AcceptUpdate();
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().find("/slow/") != std::string::npos; }));
  TempFolder out;
  ASSERT_EQ(monitor.RunAsManager(L"send --text Update", out.path() + L"s.txt"), 0);
  EXPECT_TRUE(LogHas(L"失败更新，返回值 = 259\r\n", 5s)) << Log();
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 1s));                    // no prompt 2
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // still running
  End();
}

TEST_F(UpdateTest, CheckWaitsUntilTheSettingsDialogIsClosed) {
  ASSERT_TRUE(StartWithOffer(L"1.0.0.2", L"good.exe"));
  HWND dialog = OpenSettingsDialog(process);
  ASSERT_NE(dialog, nullptr);
  // Well past the check's time: no version fetch, no prompt over the dialog.
  EXPECT_FALSE(AnswerMessageBox(process, L"提示", IDNO, 10s));
  EXPECT_EQ(server.Requests(), "");
  SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  const auto prompt = AnswerMessageBox(process, L"提示", IDNO, 30s);
  ASSERT_TRUE(prompt);
  EXPECT_EQ(*prompt, L"检测到新版本，是否进行更新？");
  EXPECT_TRUE(LogHas(L"放弃更新\r\n", 5s)) << Log();
  End();
}

// The whole cycle: this version installed, a token in, the next version
// offered and accepted. The installer replaces the program where it is
// installed, and the monitor runs again as the user with the token's
// certificates; its next check finds no newer version.
TEST_F(UpdateTest, AnAcceptedUpdateInstallsAndTheMonitorRunsAgain) {
  TempFolder place, out;
  const std::wstring target = place.path() + L"CorvanexE";
  ASSERT_NO_FATAL_FAILURE(InstallSilently(target, out.path()));
  CopyFileW(BIN_DIR_PATH L"vtoken.dll", (target + L"\\v9arc_pkcs11.dll").c_str(), FALSE);
  WriteBytes(target + L"\\vtoken.ini",
             "[slots]\r\ncount=1\r\nslot0=" + ToAnsi(DEMO_TOKENS_PATH L"tokens\\alice") + "\r\n");
  monitor.WriteUserSettings("LanguageID=2052\r\nCertTips=0\r\nDefaultPINMode=0\r\n");
  server.Serve(L"good.exe");
  server.OfferVersion(L"1.0.0.2", L"good.exe");
  ClientAt(MONITOR_VERSION_WTEXT, server.Url(L"ServerConfig.txt"));

  // The installed monitor, with this scenario's profile.
  const std::wstring savedAppData = GetEnv(L"APPDATA");
  SetEnvironmentVariableW(L"APPDATA",
                          monitor.appData().substr(0, monitor.appData().size() - 1).c_str());
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  std::wstring exe = target + L"\\CorvanexEMon.exe";
  const BOOL started =
      CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(L"APPDATA", savedAppData.c_str());
  ASSERT_TRUE(started);
  CloseHandle(pi.hThread);
  UniqueKernelHandle first(pi.hProcess);
  ASSERT_TRUE(WaitUntil([] { return CountCertificatesLinkedTo(kOurProvider) == 4; }));

  const auto prompt = AnswerMessageBox(first.get(), L"提示", IDYES, 30s);
  ASSERT_TRUE(prompt);
  ASSERT_TRUE(AnswerMessageBox(first.get(), L"提示", IDYES, 60s));
  // The user goes through the installer: "Install", then "Close".
  ASSERT_TRUE(ClickThroughInstaller(120s));
  EXPECT_EQ(InstalledMonitor::WaitForExit(first.get(), 5s), 0u);  // the installer ended it
  // Every program file replaced in place: nothing held the monitor's.
  EXPECT_EQ(GetFileVersionText(exe), L"1.0.0.2");
  EXPECT_FALSE(FileExists(exe + L".new"));
  // What brought it back ran from the user's update folder.
  EXPECT_TRUE(FileExists(UpdateFolder() + L"CorvanexE_Restart.exe"));

  // Running again, as this user, with the token's certificates.
  HWND again = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] { return (again = FindWindowW(L"TQZCorvanexE_TrayIconCer", nullptr)) != nullptr; }, 20s));
  DWORD againId = 0;
  GetWindowThreadProcessId(again, &againId);
  UniqueKernelHandle second(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, againId));
  EXPECT_TRUE(WaitUntil([] { return CountCertificatesLinkedTo(kOurProvider) == 4; }));
  EXPECT_TRUE(LogHas(L"Server Ver = 1.0.0.2  Client Ver = 1.0.0.2\r\n", 30s)) << Log();
  EXPECT_TRUE(LogHas(L"未检测到新版本\r\n", 10s)) << Log();
  // For the record: the update log and our certificates in "MY" afterwards.
  PrintLog();
  std::printf("certificates of ours in MY: %d\n", CountCertificatesLinkedTo(kOurProvider));

  UniqueKernelHandle uninstall =
      StartProcess(L"\"" + target + L"\\Uninstall.exe\" /S", out.path() + L"uninstall.txt");
  EXPECT_TRUE(InstalledMonitor::WaitForExit(second.get(), 30s));
  EXPECT_TRUE(WaitUntil([] { return CountCertificatesLinkedTo(kOurProvider) == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(target + L"\\Uninstall.exe"); }, 30s));
}

// A monitor whose window goes before its process lets go of its files: the
// update waits for the process, so every file is replaced in place and no
// restart is asked for.
TEST(InstallerTest, AMonitorSlowToEndAfterItsWindowIsGoneIsWaitedFor) {
  TempFolder place, out;
  const std::wstring target = place.path() + L"CorvanexE";
  ASSERT_NO_FATAL_FAILURE(InstallSilently(target, out.path()));
  const std::wstring exe = target + L"\\CorvanexEMon.exe";
  ASSERT_TRUE(CopyFileW(BIN_DIR_PATH L"slow_monitor_standin.exe", exe.c_str(), FALSE));
  UniqueKernelHandle monitor = StartProcess(L"\"" + exe + L"\"", out.path() + L"monitor.txt");
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(
      WaitUntil([] { return FindWindowW(L"TQZCorvanexE_TrayIconCer", nullptr) != nullptr; }));

  UniqueKernelHandle update = StartProcess(
      L"\"" UPDATE_INSTALLERS_PATH L"good.exe\" /S /D=" + target, out.path() + L"update.txt");
  ASSERT_TRUE(update);
  EXPECT_EQ(InstalledMonitor::WaitForExit(update.get(), 60s), 0u);
  EXPECT_EQ(WaitForSingleObject(monitor.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(GetFileVersionText(exe), L"1.0.0.2");
  EXPECT_FALSE(FileExists(exe + L".new"));

  UniqueKernelHandle uninstall =
      StartProcess(L"\"" + target + L"\\Uninstall.exe\" /S", out.path() + L"uninstall.txt");
  ASSERT_TRUE(uninstall);
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(target + L"\\Uninstall.exe"); }, 30s));
}

// A monitor of another signed-in user holds the program while an update
// installs (its session is out of the installer's reach): the install does
// not fail; the held file is replaced at the next restart, and the installer
// says a restart is needed (exit code 3010).
TEST(InstallerTest, AProgramFileHeldElsewhereIsReplacedAtTheNextRestart) {
  TempFolder place, out;
  const std::wstring target = place.path() + L"CorvanexE";
  ASSERT_NO_FATAL_FAILURE(InstallSilently(target, out.path()));
  const std::wstring exe = target + L"\\CorvanexEMon.exe";
  {
    // Held as a running program's image is: readable, never writable.
    UniqueFile held(CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    ASSERT_TRUE(held);
    UniqueKernelHandle update = StartProcess(
        L"\"" UPDATE_INSTALLERS_PATH L"good.exe\" /S /D=" + target, out.path() + L"update.txt");
    ASSERT_TRUE(update);
    EXPECT_EQ(InstalledMonitor::WaitForExit(update.get(), 60s), 3010u);
  }
  EXPECT_EQ(GetFileVersionText(exe), MONITOR_VERSION_WTEXT);  // until the restart
  EXPECT_EQ(GetFileVersionText(exe + L".new"), L"1.0.0.2");
  HKEY session = nullptr;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_READ | KEY_SET_VALUE, &session),
      ERROR_SUCCESS);
  std::wstring pending(4096, L'\0');
  DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
  EXPECT_EQ(RegQueryValueExW(session, L"PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(pending.data()), &size),
            ERROR_SUCCESS);
  pending.resize(size / sizeof(wchar_t));
  EXPECT_NE(pending.find(L"CorvanexEMon.exe.new"), std::wstring::npos);
  RegDeleteValueW(session, L"PendingFileRenameOperations");  // this prefix never restarts
  RegCloseKey(session);

  UniqueKernelHandle uninstall =
      StartProcess(L"\"" + target + L"\\Uninstall.exe\" /S", out.path() + L"uninstall.txt");
  ASSERT_TRUE(uninstall);
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(target + L"\\Uninstall.exe"); }, 30s));
}

TEST(InstallerTest, InstallsSilentlyStartsAndUninstallsCleanly) {
  TempFolder place;
  const std::wstring target = place.path() + L"CorvanexE";
  TempFolder out;
  ASSERT_NO_FATAL_FAILURE(InstallSilently(target, out.path()));
  for (const wchar_t* file :
       {L"CorvanexEMon.exe", L"CorvanexMgr.dll", L"CorvanexCsp64.dll", L"V9ArcPKIMgr.exe",
        L"Uninstall.exe", L"Languages\\LanguageInfo.ini", L"Languages\\ZH_2052.lng",
        L"config\\UserConfig.ini", L"config\\ClientConfig.txt",
        L"PolicyDefinitions\\CorvanexE.admx", L"PolicyDefinitions\\en-US\\CorvanexE.adml",
        L"PolicyDefinitions\\zh-CN\\CorvanexE.adml"})
    EXPECT_TRUE(FileExists(target + L"\\" + file)) << file;
  // The event source names the installed monitor as its message file.
  constexpr wchar_t kEventSource[] =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CorvanexE";
  std::wstring messageFile(MAX_PATH * 2, L'\0');
  DWORD messageFileSize = static_cast<DWORD>(messageFile.size() * sizeof(wchar_t));
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSource, L"EventMessageFile",
                         RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, messageFile.data(),
                         &messageFileSize),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(messageFile.c_str()), target + L"\\CorvanexEMon.exe");
  std::wstring run;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  wchar_t value[MAX_PATH * 2] = {};
  DWORD size = sizeof value;
  EXPECT_EQ(
      RegQueryValueExW(key, L"CorvanexE", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(value), L"\"" + target + L"\\CorvanexEMon.exe\"");
  // Our provider, registered where this 64-bit test build's programs look for it.
  constexpr wchar_t kProviderKey[] =
      L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1";
  std::wstring image(MAX_PATH * 2, L'\0');
  DWORD imageSize = static_cast<DWORD>(image.size() * sizeof(wchar_t));
  DWORD type = 0, typeSize = sizeof type;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kProviderKey, L"Image Path", RRF_RT_REG_SZ, nullptr,
                         image.data(), &imageSize),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(image.c_str()), target + L"\\CorvanexCsp64.dll");
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kProviderKey, L"Type", RRF_RT_REG_DWORD, nullptr,
                         &type, &typeSize),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));

  // The installed monitor starts, with the virtual token as its module.
  CopyFileW(BIN_DIR_PATH L"vtoken.dll", (target + L"\\v9arc_pkcs11.dll").c_str(), FALSE);
  WriteBytes(target + L"\\vtoken.ini", "[slots]\r\ncount=1\r\nslot0=\r\n");
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  std::wstring exe = target + L"\\CorvanexEMon.exe";
  ASSERT_TRUE(
      CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hThread);
  UniqueKernelHandle monitor(pi.hProcess);
  EXPECT_TRUE(WaitUntil([&] {
    HWND application =
        InstalledMonitor::FindProcessWindow(monitor.get(), L"TQZCorvanexE_Application");
    return application && GetWindowTextLengthW(application) > 0;  // start-up has finished
  }));

  // The uninstaller ends it as at logoff and removes what was installed.
  UniqueKernelHandle uninstall =
      StartProcess(L"\"" + target + L"\\Uninstall.exe\" /S", out.path() + L"uninstall.txt");
  ASSERT_TRUE(uninstall);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(monitor.get(), 30s));
  // Only the two files the test added stay behind.
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(target + L"\\Uninstall.exe"); }, 30s));
  EXPECT_FALSE(FileExists(target + L"\\CorvanexEMon.exe"));
  EXPECT_FALSE(FileExists(target + L"\\V9ArcPKIMgr.exe"));
  EXPECT_FALSE(FolderExists(target + L"\\Languages"));
  EXPECT_FALSE(FolderExists(target + L"\\config"));
  EXPECT_FALSE(FolderExists(target + L"\\PolicyDefinitions"));
  EXPECT_TRUE(FileExists(target + L"\\vtoken.ini"));
  // The uninstaller runs on from a copy of itself: its last steps may come after the file is gone.
  EXPECT_TRUE(WaitUntil([&] {
    return RegQueryValueExW(key, L"CorvanexE", nullptr, nullptr, nullptr, nullptr) ==
           ERROR_FILE_NOT_FOUND;
  }));
  UniqueRegKey source;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSource, 0, KEY_READ, source.put()),
            ERROR_FILE_NOT_FOUND);
  UniqueRegKey provider;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ | KEY_WOW64_64KEY,
                          provider.put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(FileExists(target + L"\\CorvanexCsp64.dll"));
  RegCloseKey(key);
}

namespace {

// msiexec with args, to its end; its exit code.
int Msiexec(const std::wstring& args, const std::wstring& output) {
  return RunProgram(L"C:\\windows\\system32\\msiexec.exe", args, output);
}

// The entries of Programs and Features called CorvanexE, as "version publisher".
std::vector<std::wstring> ProgramsAndFeaturesEntries() {
  std::vector<std::wstring> entries;
  HKEY uninstall = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                    0, KEY_READ, &uninstall) != ERROR_SUCCESS)
    return entries;
  wchar_t name[256];
  for (DWORD i = 0, size = 256; RegEnumKeyExW(uninstall, i, name, &size, nullptr, nullptr, nullptr,
                                              nullptr) == ERROR_SUCCESS;
       ++i, size = 256) {
    const auto value = [&](const wchar_t* item) {
      wchar_t text[256] = {};
      DWORD bytes = sizeof text;
      RegGetValueW(uninstall, name, item, RRF_RT_REG_SZ, nullptr, text, &bytes);
      return std::wstring(text);
    };
    if (value(L"DisplayName") == L"CorvanexE")
      entries.push_back(value(L"DisplayVersion") + L" " + value(L"Publisher"));
  }
  RegCloseKey(uninstall);
  return entries;
}

bool RegistryHas(const wchar_t* key, const wchar_t* value = nullptr) {
  return RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

}  // namespace

// The Windows Installer package as an administrator deploys it: silently into
// a folder of their choice, with everything the executable installer makes;
// the monitor it installs registers a token; the next version upgrades in
// place, a repair brings back a deleted file, the older package refuses to
// go over the newer one, and the uninstall leaves nothing.
TEST(InstallerTest, TheMsiPackageInstallsUpgradesRepairsRefusesAnOlderOneAndUninstalls) {
  TempFolder place, out;
  const std::wstring target = place.path() + L"Corvanex MSI\\";
  constexpr wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  constexpr wchar_t kEventSource[] =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CorvanexE";
  constexpr wchar_t kProviderKey[] =
      L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Veltrox Pelkin V9Arc CSP V1.1";
  ASSERT_EQ(Msiexec(L"/i \"" MSI_PATH L"\" /qn \"INSTALLFOLDER=" + target + L"\"",
                    out.path() + L"install.txt"),
            0);
  for (const wchar_t* file :
       {L"CorvanexEMon.exe", L"CorvanexMgr.dll", L"V9ArcPKIMgr.exe", L"CorvanexCsp64.dll",
        L"Languages\\LanguageInfo.ini", L"Languages\\ZH_2052.lng", L"Languages\\EN_1033.lng",
        L"config\\UserConfig.ini", L"config\\ClientConfig.txt",
        L"PolicyDefinitions\\CorvanexE.admx", L"PolicyDefinitions\\en-US\\CorvanexE.adml",
        L"PolicyDefinitions\\zh-CN\\CorvanexE.adml"})
    EXPECT_TRUE(FileExists(target + file)) << file;
  wchar_t run[MAX_PATH * 2] = {};
  DWORD size = sizeof run;
  EXPECT_EQ(
      RegGetValueW(HKEY_LOCAL_MACHINE, kRun, L"CorvanexE", RRF_RT_REG_SZ, nullptr, run, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(run), L"\"" + target + L"CorvanexEMon.exe\"");
  EXPECT_TRUE(RegistryHas(kEventSource, L"EventMessageFile"));
  EXPECT_TRUE(RegistryHas(kProviderKey, L"Image Path"));
  EXPECT_EQ(ProgramsAndFeaturesEntries(), std::vector<std::wstring>{L"1.0.1 Veltrox"});

  // At the next logon: the Run value's program, with the virtual token as
  // its module and Alice's token in.
  CopyFileW(BIN_DIR_PATH L"vtoken.dll", (target + L"v9arc_pkcs11.dll").c_str(), FALSE);
  WriteBytes(target + L"vtoken.ini",
             "[slots]\r\ncount=1\r\nslot0=" + ToAnsi(DEMO_TOKENS_PATH L"tokens\\alice") + "\r\n");
  UniqueKernelHandle monitor = StartProcess(run, out.path() + L"monitor.txt");
  ASSERT_TRUE(monitor);
  EXPECT_TRUE(WaitUntil([] { return CountCertificatesLinkedTo(kOurProvider) == 4; }));
  // A program signs through the package's provider, with the key the
  // certificate names.
  TempFolder driverOut;
  EXPECT_EQ(RunDriver(L"sign --provider \"" + std::wstring(kOurProvider) +
                          L"\" --container Alice-Keys --pin 12345678 --verify",
                      driverOut.path() + L"sign.txt"),
            0)
      << ReadBytes(driverOut.path() + L"sign.txt");
  RunDriver(L"end-session --class TQZCorvanexE_TrayIconCer", driverOut.path() + L"end.txt");
  EXPECT_TRUE(InstalledMonitor::WaitForExit(monitor.get()));
  EXPECT_TRUE(WaitUntil([] { return CountCertificatesLinkedTo(kOurProvider) == 0; }));

  // The next version in place of this one: one entry, the new program.
  EXPECT_EQ(Msiexec(L"/i \"" UPDATE_INSTALLERS_PATH L"next.msi\" /qn", out.path() + L"next.txt"),
            0);
  EXPECT_EQ(GetFileVersionText(target + L"CorvanexEMon.exe"), L"1.0.0.2");
  EXPECT_EQ(ProgramsAndFeaturesEntries(), std::vector<std::wstring>{L"1.0.2 Veltrox"});

  // A repair brings back what was deleted (what "Repair" and msiexec /f do;
  // Wine's msiexec takes only this form of it).
  DeleteFileW((target + L"CorvanexMgr.dll").c_str());
  EXPECT_EQ(
      Msiexec(L"/i \"" UPDATE_INSTALLERS_PATH L"next.msi\" /qn REINSTALL=ALL REINSTALLMODE=omus",
              out.path() + L"repair.txt"),
      0);
  EXPECT_TRUE(FileExists(target + L"CorvanexMgr.dll"));

  // The older package refuses, and changes nothing.
  EXPECT_NE(Msiexec(L"/i \"" MSI_PATH L"\" /qn", out.path() + L"older.txt"), 0);
  EXPECT_EQ(GetFileVersionText(target + L"CorvanexEMon.exe"), L"1.0.0.2");
  EXPECT_EQ(ProgramsAndFeaturesEntries(), std::vector<std::wstring>{L"1.0.2 Veltrox"});

  EXPECT_EQ(Msiexec(L"/x \"" UPDATE_INSTALLERS_PATH L"next.msi\" /qn", out.path() + L"remove.txt"),
            0);
  for (const wchar_t* file : {L"CorvanexEMon.exe", L"CorvanexCsp64.dll", L"Languages\\EN_1033.lng",
                              L"PolicyDefinitions\\en-US\\CorvanexE.adml"})
    EXPECT_FALSE(FileExists(target + file)) << file;
  EXPECT_FALSE(RegistryHas(kRun, L"CorvanexE"));
  EXPECT_FALSE(RegistryHas(kEventSource, L"EventMessageFile"));
  EXPECT_FALSE(RegistryHas(kProviderKey, L"Image Path"));
  EXPECT_TRUE(ProgramsAndFeaturesEntries().empty());
}

// Over an install of the setup program the package takes its place (one
// entry, the setup's files gone with its uninstaller); the setup program
// then leaves the package's install alone.
TEST(InstallerTest, ThePackageTakesOverFromTheSetupProgramWhichThenStandsAside) {
  TempFolder place, out;
  const std::wstring setupTarget = place.path() + L"BySetup";
  ASSERT_NO_FATAL_FAILURE(InstallSilently(setupTarget, out.path()));
  ASSERT_EQ(ProgramsAndFeaturesEntries().size(), 1u);

  const std::wstring target = place.path() + L"ByPackage\\";
  ASSERT_EQ(Msiexec(L"/i \"" MSI_PATH L"\" /qn \"INSTALLFOLDER=" + target + L"\"",
                    out.path() + L"install.txt"),
            0);
  EXPECT_EQ(ProgramsAndFeaturesEntries(), std::vector<std::wstring>{L"1.0.1 Veltrox"});
  EXPECT_TRUE(FileExists(target + L"CorvanexEMon.exe"));
  EXPECT_FALSE(FileExists(setupTarget + L"\\CorvanexEMon.exe"));
  EXPECT_FALSE(FileExists(setupTarget + L"\\Uninstall.exe"));

  UniqueKernelHandle setup =
      StartProcess(L"\"" INSTALLER_PATH L"\" /S /D=" + setupTarget, out.path() + L"setup.txt");
  ASSERT_TRUE(setup);
  EXPECT_EQ(InstalledMonitor::WaitForExit(setup.get(), 60s), 1638u);
  EXPECT_FALSE(FileExists(setupTarget + L"\\CorvanexEMon.exe"));
  EXPECT_EQ(ProgramsAndFeaturesEntries().size(), 1u);

  EXPECT_EQ(Msiexec(L"/x \"" MSI_PATH L"\" /qn", out.path() + L"remove.txt"), 0);
  EXPECT_TRUE(ProgramsAndFeaturesEntries().empty());
  EXPECT_FALSE(FileExists(target + L"CorvanexEMon.exe"));
}
