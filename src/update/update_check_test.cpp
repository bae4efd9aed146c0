#include "update/update_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "testing/fake_profile.h"

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::ElementsAre;

// Dotted numbers compare as numbers; anything else as text.
TEST(VersionOrderTest, NumbersWhereBothParseElseText) {
  struct Case {
    const wchar_t* server;
    const wchar_t* client;
    bool newer;
  };
  for (const Case& c : std::initializer_list<Case>{
           {L"1.0.10", L"1.0.9", true},  // not '1' < '9'
           {L"1.0.9", L"1.0.10", false},
           {L"1.0.0.10", L"1.0.0.9", true},
           {L"10.0", L"9.0", true},
           {L"1.0.0", L"1.0", false},  // missing parts are 0
           {L"1.0", L"1.0.0", false},
           {L"1.0.1", L"1.0", true},
           {L"1.0", L"1.0", false},
           {L"4294967295", L"4294967294", true},
           // Not both dotted numbers: code unit order, the shorter prefix first.
           {L"1.0", L"", true},
           {L"", L"", false},
           {L"1.0.10-beta", L"1.0.9", false},
           {L"10000000000", L"2", false},  // beyond 32 bits: text
           {L"1..0", L"1.0", false},
           {L"1.\x8000", L"1.a", true},  // unsigned code units
       })
    EXPECT_EQ(IsNewerVersion(c.server, c.client), c.newer) << c.server << " vs " << c.client;
}

TEST(UpdateLogLineTest, DateTimeFullWidthColonAndCrLf) {
  EXPECT_EQ(UpdateLogLine({2026, 12, 8, 9, 5, 7}, L"2026/12/8", L"9:05:07", L"未检测到新版本"),
            L"2026/12/8 9:05:07\xFF1A未检测到新版本\r\n");
  // Exactly midnight: the date alone, as a date-and-time text shows it.
  EXPECT_EQ(UpdateLogLine({2026, 12, 8, 0, 0, 0}, L"2026/12/8", L"0:00:00", L"x"),
            L"2026/12/8\xFF1Ax\r\n");
  EXPECT_EQ(UpdateLogLine({2026, 12, 8, 0, 0, 1}, L"2026/12/8", L"0:00:01", L"x"),
            L"2026/12/8 0:00:01\xFF1Ax\r\n");
}

// After an upgrade the user's copy names the version it was seeded with.
TEST(ClientConfigTest, AnOlderUserCopyTakesTheInstalledVersionAndKeepsItsAddress) {
  FakeProfileFiles files;
  const std::wstring shipped = L"C:\\app\\config\\ClientConfig.txt";
  const std::wstring user = L"C:\\upd\\ClientConfig.ini";
  files.File(shipped).WriteString(L"Mgr", L"Version", L"1.0.0.2");
  files.File(shipped).WriteString(L"URL", L"VersionFile", L"http://shipped/ServerConfig.txt");
  files.File(user).WriteString(L"Mgr", L"Version", L"1.0.0.1");
  files.File(user).WriteString(L"URL", L"VersionFile", L"http://admin/ServerConfig.txt");
  EXPECT_TRUE(BringClientConfigUpToDate(files, shipped, user));
  EXPECT_EQ(files.File(user).ReadString(L"Mgr", L"Version", L""), L"1.0.0.2");
  EXPECT_EQ(files.File(user).ReadString(L"URL", L"VersionFile", L""),
            L"http://admin/ServerConfig.txt");
  // Up to date: left alone. Any other version, textually older or newer,
  // takes the installed one (an older release reinstalled would else be
  // offered nothing, or a 1.0.0.9 copy kept under 1.0.0.10 for ever).
  EXPECT_FALSE(BringClientConfigUpToDate(files, shipped, user));
  for (const wchar_t* other : {L"1.0.0.3", L"1.0.0.10"}) {
    files.File(user).WriteString(L"Mgr", L"Version", other);
    EXPECT_TRUE(BringClientConfigUpToDate(files, shipped, user));
    EXPECT_EQ(files.File(user).ReadString(L"Mgr", L"Version", L""), L"1.0.0.2");
  }
  files.File(shipped).WriteString(L"Mgr", L"Version", L"1.0.0.10");
  files.File(user).WriteString(L"Mgr", L"Version", L"1.0.0.9");
  EXPECT_TRUE(BringClientConfigUpToDate(files, shipped, user));
  EXPECT_EQ(files.File(user).ReadString(L"Mgr", L"Version", L""), L"1.0.0.10");
  // A shipped file without a version changes nothing.
  files.File(shipped).WriteString(L"Mgr", L"Version", L"");
  files.File(user).WriteString(L"Mgr", L"Version", L"1.0.0.0");
  EXPECT_FALSE(BringClientConfigUpToDate(files, shipped, user));
  EXPECT_FALSE(BringClientConfigUpToDate(files, L"C:\\missing.txt", user));
}

namespace {

constexpr wchar_t kFolder[] = L"C:\\upd\\";
const std::wstring kClientIni = std::wstring(kFolder) + L"ClientConfig.ini";
const std::wstring kServerFile = std::wstring(kFolder) + L"ServerConfig.txt";
const std::wstring kInstaller = std::wstring(kFolder) + L"Pelkin_Setup.exe";

// The system as the check sees it. A download runs for a number of polls and
// then ends with its result; what it fetches appears only on success.
class FakeUpdatePorts : public UpdatePorts {
 public:
  struct Download {
    std::int32_t result = 0;
    int polls = 0;  // ExitCode answers kStillActive this often first
    std::function<void()> onSuccess;
  };

  std::wstring UpdateFolder() override { return kFolder; }
  ProfileFiles& Profiles() override { return files; }
  void RemoveFile(const std::wstring& path) override {
    deleted.push_back(path);
    files.Remove(path);
  }
  std::unique_ptr<PendingDownload> StartDownload(const std::wstring& address,
                                                 const std::wstring& path) override {
    started.push_back(address + L" -> " + path);
    Download next = downloads.empty() ? Download{} : downloads.front();
    if (!downloads.empty())
      downloads.pop_front();
    return std::make_unique<Pending>(next);
  }
  void PumpMessagesFor(int milliseconds) override {
    pumped += milliseconds;
    if (duringPump)
      duringPump();
  }
  void AppendUpdateLog(const std::wstring& logPath, const std::wstring& message) override {
    EXPECT_EQ(logPath, std::wstring(kFolder) + L"Logs.txt");
    log.push_back(message);
  }
  bool AskYesNo(const std::wstring& text) override {
    asked.push_back(text);
    if (whileAsking)
      std::exchange(whileAsking, nullptr)();
    if (answers.empty())
      return false;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  // The downloaded file as it stands when it is opened.
  struct InstallerFile {
    InstallerSignature signature{InstallerSignature::kSameSigner, 0};
    std::wstring version = L"1.1.0.0";
    bool readable = true;
  };
  std::unique_ptr<HeldInstaller> HoldInstaller(const std::wstring& path) override {
    EXPECT_EQ(path, kInstaller);
    return installer.readable ? std::make_unique<Held>(*this, installer) : nullptr;
  }
  std::wstring InstalledVersion() override { return installed; }
  bool InstalledByPackage() override { return byPackage; }
  void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) override {
    events.emplace_back(event, texts);
  }

  FakeProfileFiles files;
  std::vector<std::pair<MonitorEvent, std::vector<std::wstring>>> events;
  std::deque<Download> downloads;
  std::deque<bool> answers;  // one per prompt; No once they run out
  std::function<void()> duringPump;
  std::function<void()> whileAsking;  // once, while the next question is up
  InstallerFile installer;
  std::wstring installed = L"1.0.0.0";
  bool byPackage = false;
  std::int32_t startError = 0;  // the installer's start: 1223 when elevation is declined
  std::vector<std::wstring> deleted, started, log, asked, startedInstaller;
  int pumped = 0;

 private:
  struct Held : HeldInstaller {
    Held(FakeUpdatePorts& ports, InstallerFile file) : ports(ports), file(std::move(file)) {}
    InstallerSignature Signature() override { return file.signature; }
    std::wstring FileVersion() override { return file.version; }
    std::int32_t Start() override {
      if (ports.startError == 0)
        ports.startedInstaller.push_back(kInstaller);
      return ports.startError;
    }
    FakeUpdatePorts& ports;
    InstallerFile file;
  };
  struct Pending : PendingDownload {
    explicit Pending(Download d) : d(std::move(d)) {}
    std::int32_t ExitCode() override {
      if (d.polls-- > 0)
        return kStillActive;
      if (d.result == 0 && d.onSuccess) {
        d.onSuccess();
        d.onSuccess = nullptr;
      }
      return d.result;
    }
    Download d;
  };
};

class UpdateCheckTest : public ::testing::Test {
 protected:
  void ClientAt(const std::wstring& version) {
    ports.files.File(kClientIni)
        .Set(L"Mgr", L"Version", version)
        .Set(L"URL", L"VersionFile", L"http://127.0.0.1/ServerConfig.txt");
  }
  // The version fetch succeeds and offers this version.
  void ServerOffers(const std::wstring& version, int polls = 0) {
    ports.downloads.push_back({0, polls, [this, version] {
                                 ports.files.File(kServerFile)
                                     .Set(L"Mgr", L"Version", version)
                                     .Set(L"URL", L"UpdateFile", L"http://127.0.0.1/setup.exe");
                               }});
  }
  void InstallerDownload(std::int32_t result, int polls = 0) {
    ports.downloads.push_back({result, polls, nullptr});
  }

  ProgramState state;
  TResStrs strings;
  FakeUpdatePorts ports;
  UpdateCheck check{state, ports, strings};
};

}  // namespace

TEST_F(UpdateCheckTest, ReadUpdateVersionsResultCodes) {
  UpdateVersions v{L"stale", L"stale", L"stale"};
  EXPECT_EQ(check.ReadUpdateVersions(kClientIni, v), kNoClientConfig);
  EXPECT_EQ(v.Client, L"");
  EXPECT_EQ(v.Server, L"");
  EXPECT_TRUE(ports.started.empty());  // no connection without a client configuration

  ClientAt(L"1.0");
  ports.downloads.push_back({static_cast<std::int32_t>(0x800C0005), 0, nullptr});
  EXPECT_EQ(check.ReadUpdateVersions(kClientIni, v), kNoVersionFile);
  EXPECT_EQ(v.Client, L"1.0");

  // A fetch that reports success but leaves no file is a failed fetch.
  InstallerDownload(0);
  EXPECT_EQ(check.ReadUpdateVersions(kClientIni, v), kNoVersionFile);

  ServerOffers(L"1.1");
  EXPECT_EQ(check.ReadUpdateVersions(kClientIni, v), kVersionsRead);
  EXPECT_EQ(v.Client, L"1.0");
  EXPECT_EQ(v.Server, L"1.1");
  EXPECT_EQ(v.InstallerAddress, L"http://127.0.0.1/setup.exe");
  EXPECT_EQ(ports.started.back(), L"http://127.0.0.1/ServerConfig.txt -> " + kServerFile);
}

TEST_F(UpdateCheckTest, StaleVersionFileIsDeletedSoAFailedFetchCannotReuseIt) {
  ClientAt(L"1.0");
  ports.files.File(kServerFile).Set(L"Mgr", L"Version", L"9.9");
  ports.downloads.push_back({static_cast<std::int32_t>(0x800C0005), 0, nullptr});
  check.CheckForUpdate();
  EXPECT_THAT(ports.deleted, ElementsAre(kServerFile));
  EXPECT_THAT(ports.log, ElementsAre(L"服务端版本更新失败"));
}

TEST_F(UpdateCheckTest, StopsQuietlyWhenNotNewer) {
  check.CheckForUpdate();
  EXPECT_THAT(ports.log, ElementsAre(L"客户端配置文件不存在"));

  // A profile already past the server's version (1.0.0.10 against 1.0.0.9)
  // is offered nothing: no prompt, download and refusal at every start.
  ports.log.clear();
  ClientAt(L"1.0.0.10");
  ServerOffers(L"1.0.0.9");
  check.CheckForUpdate();
  EXPECT_THAT(ports.log,
              ElementsAre(L"Server Ver = 1.0.0.9  Client Ver = 1.0.0.10", L"未检测到新版本"));
  EXPECT_TRUE(ports.asked.empty());
  EXPECT_TRUE(ports.events.empty());
}

// Installed by the package: the newer version is logged, nobody is asked
// and nothing is downloaded, at this start or any later one.
TEST_F(UpdateCheckTest, APackageInstallIsOfferedNoSetupProgram) {
  ports.byPackage = true;
  ClientAt(L"1.0");
  for (int start = 0; start < 2; ++start) {
    ServerOffers(L"1.1");
    check.CheckForUpdate();
  }
  EXPECT_THAT(ports.log,
              Each(AnyOf(L"Server Ver = 1.1  Client Ver = 1.0", L"服务器版本高于客户端版本",
                         L"本机由 Windows Installer 安装包安装，由其部署更新")));
  EXPECT_EQ(ports.log.size(), 6u);
  EXPECT_TRUE(ports.asked.empty());
  EXPECT_EQ(ports.started.size(), 2u);  // the version file each time, never the installer
  EXPECT_TRUE(ports.events.empty());
}

TEST_F(UpdateCheckTest, FullRunAsksTwiceAndStartsAnInstallerOfOurSigner) {
  ClientAt(L"1.0");
  ServerOffers(L"1.1");
  InstallerDownload(0, 3);
  ports.answers = {true, true};
  check.CheckForUpdate();
  EXPECT_THAT(ports.log, ElementsAre(L"Server Ver = 1.1  Client Ver = 1.0",
                                     L"服务器版本高于客户端版本", L"开始更新..."));
  EXPECT_THAT(ports.asked, ElementsAre(strings.Update_Info, strings.Update_Down_OK));
  EXPECT_EQ(ports.started.back(), L"http://127.0.0.1/setup.exe -> " + kInstaller);
  EXPECT_EQ(ports.pumped, 3 * 500);
  EXPECT_THAT(ports.startedInstaller, ElementsAre(kInstaller));
  using Event = std::pair<MonitorEvent, std::vector<std::wstring>>;
  EXPECT_THAT(ports.events, ElementsAre(Event{MonitorEvent::kUpdateOffered, {L"1.0", L"1.1"}},
                                        Event{MonitorEvent::kUpdateStarted, {L"1.1.0.0"}}));
}

// Only an installer that really started is reported as started: a declined
// elevation prompt or a failed start is its own event and log line.
TEST_F(UpdateCheckTest, AnInstallerThatDidNotStartIsNotReportedAsStarted) {
  ClientAt(L"1.0");
  ServerOffers(L"1.1");
  InstallerDownload(0);
  ports.answers = {true, true};
  ports.startError = 1223;  // ERROR_CANCELLED
  check.CheckForUpdate();
  EXPECT_EQ(ports.log.back(), L"安装程序未能启动，错误码 = 1223");
  using Event = std::pair<MonitorEvent, std::vector<std::wstring>>;
  EXPECT_THAT(ports.events, ElementsAre(Event{MonitorEvent::kUpdateOffered, {L"1.0", L"1.1"}},
                                        Event{MonitorEvent::kUpdateNotStarted, {L"1223"}}));
}

// An administrator's server replaces the address of the client configuration.
TEST_F(UpdateCheckTest, ThePolicysVersionFileAddressIsTheOneFetched) {
  Policy policy;
  policy.UpdateVersionFile = L"https://updates.example/version.ini";
  UpdateCheck managed{state, ports, strings, policy};
  ClientAt(L"1.0");
  ServerOffers(L"1.0");
  managed.CheckForUpdate();
  EXPECT_THAT(ports.started, ElementsAre(L"https://updates.example/version.ini -> " + kServerFile));
  EXPECT_TRUE(ports.events.empty());  // nothing offered
}

TEST_F(UpdateCheckTest, DeclinedPromptsAndFailedDownloadEachEndWithTheirLine) {
  ClientAt(L"1.0");
  ServerOffers(L"1.1");
  check.CheckForUpdate();  // prompt 1: No
  EXPECT_EQ(ports.log.back(), L"放弃更新");

  ServerOffers(L"1.1");
  ports.downloads.push_back({static_cast<std::int32_t>(0x800C0005), 1, nullptr});
  ports.answers = {true};
  check.CheckForUpdate();
  EXPECT_EQ(ports.log.back(), L"失败更新，返回值 = -2146697211");
  EXPECT_EQ(ports.asked.size(), 2u);  // no prompt 2

  ServerOffers(L"1.1");
  InstallerDownload(0);
  ports.answers = {true};  // prompt 2: No
  check.CheckForUpdate();
  EXPECT_EQ(ports.log.back(), L"放弃安装");
  EXPECT_TRUE(ports.startedInstaller.empty());
}

TEST_F(UpdateCheckTest, InstallerNotOfOurSignerIsRefusedWithoutPrompt) {
  for (const auto verdict :
       {InstallerSignature::kMonitorUnsigned, InstallerSignature::kInstallerNotTrusted,
        InstallerSignature::kOtherSigner, InstallerSignature::kSignerRevoked,
        InstallerSignature::kRevocationUnknown}) {
    ports.log.clear();
    ports.asked.clear();
    ClientAt(L"1.0");
    ServerOffers(L"1.1");
    InstallerDownload(0);
    ports.answers = {true, true};
    ports.installer.signature = {verdict, static_cast<std::int32_t>(0x800B0100)};
    check.CheckForUpdate();
    EXPECT_EQ(ports.log.back(), InstallerRefusalText(ports.installer.signature));
    EXPECT_THAT(ports.log.back(), ::testing::StartsWith(L"拒绝安装："));
    ASSERT_FALSE(ports.events.empty());
    EXPECT_EQ(ports.events.back().first, MonitorEvent::kInstallerRefused);
    EXPECT_EQ(ports.events.back().second, std::vector<std::wstring>{ports.log.back()});
    EXPECT_EQ(ports.asked.size(), 1u);
    EXPECT_TRUE(ports.startedInstaller.empty());
  }
  EXPECT_EQ(InstallerRefusalText(
                {InstallerSignature::kInstallerNotTrusted, static_cast<std::int32_t>(0x800B0100)}),
            L"拒绝安装：安装程序没有有效签名，错误码 = 0x800B0100");
}

// A validly signed older installer offered under a higher version text.
TEST_F(UpdateCheckTest, AnInstallerNoNewerThanTheInstalledProgramIsRefused) {
  ports.installed = L"1.0.0.2";
  for (const wchar_t* version : {L"1.0.0.1", L"1.0.0.2", L"", L"1.0.x"}) {
    ports.log.clear();
    ports.asked.clear();
    ClientAt(L"1.0.0.2");
    ServerOffers(L"9.9.9.9");
    InstallerDownload(0);
    ports.answers = {true, true};
    ports.installer.version = version;
    check.CheckForUpdate();
    EXPECT_EQ(ports.log.back(), L"拒绝安装：安装程序的版本（" + std::wstring(version) +
                                    L"）不高于已安装的版本（1.0.0.2）");
    EXPECT_EQ(ports.asked.size(), 1u);
    EXPECT_TRUE(ports.startedInstaller.empty());
  }
  EXPECT_TRUE(IsHigherFileVersion(L"1.0.0.10", L"1.0.0.9"));  // numbers, not text
  EXPECT_TRUE(IsHigherFileVersion(L"1.1", L"1.0.0.9"));
  EXPECT_FALSE(IsHigherFileVersion(L"1.0.0.9", L"1.0.0.10"));
  EXPECT_FALSE(IsHigherFileVersion(L"1.0.0.0.1", L"1.0"));
  EXPECT_FALSE(IsHigherFileVersion(L"1.70000", L"1.0"));
}

// The second question may stand for hours: the file is looked at again when
// it is answered, and the file looked at is the one started.
TEST_F(UpdateCheckTest, AnInstallerSwappedDuringTheLastQuestionIsRefused) {
  const std::pair<std::function<void()>, std::wstring> swaps[] = {
      {[&] {
         ports.installer.signature = {InstallerSignature::kOtherSigner, 0};
       },
       L"拒绝安装：安装程序的签名者与本程序不同"},
      {[&] { ports.installer.version = L"0.9.0.0"; },
       L"拒绝安装：安装程序的版本（0.9.0.0）不高于已安装的版本（1.0.0.0）"},
      {[&] { ports.installer.readable = false; }, L"拒绝安装：无法打开安装程序"}};
  for (const auto& [swap, line] : swaps) {
    ports.installer = {};
    ports.startedInstaller.clear();
    ClientAt(L"1.0");
    ServerOffers(L"1.1");
    InstallerDownload(0);
    ports.answers = {true, true};
    ports.whileAsking = [&] { ports.whileAsking = swap; };  // the second question
    check.CheckForUpdate();
    EXPECT_EQ(ports.log.back(), line);
    EXPECT_TRUE(ports.startedInstaller.empty());
  }
}

TEST_F(UpdateCheckTest, ExitOrManagerStopsTheWaitAtTheNextPoll) {
  for (bool* flag : {&state.UpdateCancelled, &state.ExitRequested}) {
    state = {};
    ports.log.clear();
    ports.pumped = 0;
    ClientAt(L"1.0");
    ServerOffers(L"1.1");
    InstallerDownload(0, 1000);  // a download far slower than the test
    ports.answers = {true, true};
    int polls = 0;
    ports.duringPump = [&] {
      if (++polls == 2)
        *flag = true;
    };
    check.CheckForUpdate();
    ports.duringPump = nullptr;
    EXPECT_EQ(ports.log.back(), L"失败更新，返回值 = 259");
    EXPECT_EQ(ports.pumped, 2 * 500);
    EXPECT_TRUE(ports.startedInstaller.empty());
  }
}

TEST_F(UpdateCheckTest, ManagerStoppingTheVersionFetchEndsTheCheck) {
  ClientAt(L"1.0");
  ServerOffers(L"1.1", 1000);
  ports.duringPump = [&] { state.UpdateCancelled = true; };
  check.CheckForUpdate();
  EXPECT_THAT(ports.log, ElementsAre(L"服务端版本更新失败"));
}
