#include "monitor/token_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "testing/fake_token_library.h"
#include "token/token_records.h"

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;

namespace {

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w)
    s += c < 128 ? static_cast<char>(c) : '?';
  return s;
}

const char* Name(MonitorTimer t) {
  switch (t) {
    case MonitorTimer::TFindUSBKey:
      return "TFindUSBKey";
    case MonitorTimer::TCheckInit:
      return "TCheckInit";
    case MonitorTimer::TCheckDefaultUPIN:
      return "TCheckDefaultUPIN";
    case MonitorTimer::TUSBRemove:
      return "TUSBRemove";
    case MonitorTimer::TCloseProject:
      return "TCloseProject";
    case MonitorTimer::TRegCertXE:
      return "TRegCertXE";
    case MonitorTimer::TAppUpdate:
      return "TAppUpdate";
    case MonitorTimer::SettlingTime:
      return "SettlingTime";
    case MonitorTimer::SearchStart:
      return "SearchStart";
    case MonitorTimer::EarlyLook:
      return "EarlyLook";
    case MonitorTimer::FirstEarlyLook:
      return "FirstEarlyLook";
  }
  return "?";
}

class FakePorts : public MonitorPorts {
 public:
  std::vector<std::string> events;
  bool providerInstalled = true;
  TConfigInfo settings{0, L"", 0, 0, 0, 1033, 1};
  LocalDateTime now{2026, 12, 8, 10, 30, 0};

  void ShowBalloon(const std::wstring& text, int kind) override {
    events.push_back("balloon:" + Narrow(text) + ":" + std::to_string(kind));
  }
  void SetIconVisible(bool v) override { events.push_back(v ? "icon:on" : "icon:off"); }
  void ShowMessage(const std::wstring& text, unsigned kind) override {
    messages.push_back(text);
    events.push_back("message:" + std::to_string(kind));
    if (whileBoxIsOpen)
      whileBoxIsOpen();
  }
  // Runs inside the box's message loop, as a tray command or the end of the
  // session would.
  std::function<void()> whileBoxIsOpen;
  void ArmTimer(MonitorTimer t) override { events.push_back(std::string("arm:") + Name(t)); }
  void DisarmTimer(MonitorTimer t) override { events.push_back(std::string("disarm:") + Name(t)); }
  void ExitProgram() override { events.push_back("exit"); }
  TConfigInfo ReadUserSettings() override { return settings; }
  bool ProviderKeyExists(const std::wstring& name) override {
    events.push_back("provider?" + Narrow(name));
    return providerInstalled && !missingProviders.count(Narrow(name));
  }
  std::set<std::string> missingProviders;
  void WriteLog(const std::wstring& line) override { events.push_back("log:" + Narrow(line)); }
  void SendToManager(const std::wstring& c) override { events.push_back("send:" + Narrow(c)); }
  void OpenWebAddress(const std::wstring& a, int) override { events.push_back("web:" + Narrow(a)); }
  LocalDateTime Now() override { return now; }
  std::uint64_t Milliseconds() override { return milliseconds; }
  std::uint64_t milliseconds = 100000;
  void CloseDialogsOnRemoval(std::int32_t n) override {
    events.push_back("closeDialogs:" + std::to_string(n));
  }
  // Application-log events, apart from the sequence above: "<id>:<texts>".
  void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) override {
    std::string line = std::to_string(static_cast<int>(event)) + ":";
    for (std::size_t i = 0; i < texts.size(); ++i)
      line += (i ? "|" : "") + Narrow(texts[i]);
    reported.push_back(line);
  }
  std::wstring TokenText(std::string_view bytes) override {
    return std::wstring(bytes.begin(), bytes.end());
  }
  std::vector<std::wstring> messages;
  std::vector<std::string> reported;

  int Count(const std::string& e) const {
    return static_cast<int>(std::count(events.begin(), events.end(), e));
  }
};

FakeTokenLibrary::Token UserToken(const std::string& prefix) {
  FakeTokenLibrary::Token t;
  t.serial = prefix + "-0001";
  t.containerList = prefix + "-c1" + '\0' + prefix + "-c2" + '\0';
  t.containerCerts[{prefix + "-c1", 1}] = {prefix + "-c1-x"};
  t.containerCerts[{prefix + "-c1", 2}] = {prefix + "-c1-s"};
  t.containerCerts[{prefix + "-c2", 1}] = {prefix + "-c2-x"};
  FakeTokenLibrary::Cert root{prefix + "-root"};
  root.kind = 1;
  FakeTokenLibrary::Cert inter{prefix + "-inter"};
  inter.kind = 2;
  t.standalone = {root, inter};
  return t;
}

class TokenSessionTest : public ::testing::Test {
 protected:
  void Start() {
    session.InitMonitor();
    ports.events.clear();
    lib.calls.clear();
  }
  // A device arrival and its settling time, as the timers run it.
  void Arrive(std::int32_t pid = 0xFF04) {
    session.USBArrival(pid);
    session.SettlingTimeOver();
    session.StartSearch();
  }
  // A device arrival, then ticks until the search timer disarms itself.
  void ArriveAndSearch(std::int32_t pid = 0xFF04) {
    Arrive(pid);
    for (int tick = 0; tick < 100 && ports.Count("disarm:TFindUSBKey") == 0; ++tick)
      session.TFindUSBKeyTimer();
  }

  ProgramState state;
  FakeTokenLibrary lib;
  FakePorts ports;
  TResStrs strings;
  TConfigInfo config;
  Policy policy;  // what an administrator set, handed to the session by its owner
  TokenSession session{state, lib, ports, strings, config, policy};
};

}  // namespace

TEST(ParseProductId, ReadsFourHexDigitsAfterPid) {
  EXPECT_EQ(
      ParseProductId(L"\\\\?\\USB#VID_1D99&PID_FF04#5&1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"),
      0xFF04);
  EXPECT_EQ(ParseProductId(L"\\\\?\\usb#vid_04e8&pid_8b15#x"), 0x8B15);
  EXPECT_EQ(ParseProductId(L"\\\\?\\USB#VID_1D99&PID_FG04#x"), 0);
  EXPECT_EQ(ParseProductId(L"\\\\?\\USB#VID_1D99&PID_FF"), 0);
  EXPECT_EQ(ParseProductId(L"HID#VID_1D99"), 0);
  EXPECT_TRUE(IsTokenProductId(0xFF03));
  EXPECT_FALSE(IsTokenProductId(0xFF06));
}

TEST_F(TokenSessionTest, FirstThenSecondTokenInserted) {
  state.ProviderRegistered = true;
  ports.settings.URLOpenMode = 1;
  ports.settings.URL = L"https://intranet.example/";
  Start();
  EXPECT_EQ(session.TokenCount, 0);

  lib.tokens.push_back(UserToken("a"));
  ArriveAndSearch();
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_THAT(ports.events, Contains("balloon:USBKey???:1"));
  EXPECT_THAT(ports.events, Contains("arm:TCheckInit"));
  EXPECT_THAT(ports.events, Contains("web:https://intranet.example/"));
  EXPECT_THAT(ports.events, Contains("arm:TCheckDefaultUPIN"));
  EXPECT_THAT(lib.added, Contains("MY:a-c1:1:a-c1-x"));
  EXPECT_THAT(lib.added, Contains("MY:a-c1:2:a-c1-s"));
  EXPECT_THAT(lib.added, Contains("ROOT:a-root"));
  EXPECT_THAT(lib.added, Contains("CA:a-inter"));
  // The settling time passes on timers, the thread free meanwhile.
  EXPECT_THAT(ports.events,
              IsSupersetOf({"arm:SettlingTime", "disarm:SettlingTime", "arm:SearchStart",
                            "disarm:SearchStart", "arm:TFindUSBKey"}));

  ports.events.clear();
  lib.added.clear();
  lib.tokens.push_back(UserToken("b"));
  ArriveAndSearch();
  EXPECT_EQ(session.PreviousTokenCount, 1);
  EXPECT_EQ(session.TokenCount, 2);
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
  // Both registered again, each link naming its token now that a container
  // name could meet another token's.
  EXPECT_THAT(lib.added, Contains("MY:\\\\.\\a-0001\\a-c1:1:a-c1-x"));
  EXPECT_THAT(lib.added, Contains("MY:\\\\.\\b-0001\\b-c2:1:b-c2-x"));
  EXPECT_THAT(lib.added, Not(Contains("MY:a-c1:1:a-c1-x")));
  EXPECT_THAT(ports.events, Not(Contains("arm:TCheckDefaultUPIN")));
  EXPECT_EQ(ports.Count("log:Mon CSP:Veltrox Pelkin V9Arc CSP V1.1"), 2);  // one line per pass

  // The second pulled: the one left alone keeps the library's plain name.
  lib.added.clear();
  lib.tokens.pop_back();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.added, Contains("MY:a-c1:1:a-c1-x"));
}

TEST_F(TokenSessionTest, ASearchThatNeverFindsATokenGivesUpSilently) {
  Start();
  Arrive();
  int ticks = 0;
  while (ports.Count("disarm:TFindUSBKey") == 0 && ticks < 100) {
    session.TFindUSBKeyTimer();
    ++ticks;
  }
  EXPECT_EQ(ticks, 60);  // 59 refresh attempts, then the countdown ends it
  EXPECT_EQ(lib.CallsNamed("token_find").size(), 59u);
  EXPECT_THAT(ports.events, Not(Contains(::testing::StartsWith("balloon"))));
  EXPECT_TRUE(ports.messages.empty());
}

TEST_F(TokenSessionTest, AnArrivalWaitsOnTimersNotOnTheThread) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  session.USBArrival(0xFF04);
  EXPECT_THAT(ports.events, ElementsAre("arm:SettlingTime", "arm:EarlyLook", "arm:FirstEarlyLook"));
  EXPECT_TRUE(lib.calls.empty());
  // The program ends during the settling time: the search never starts.
  session.Shutdown();
  ports.events.clear();
  session.SettlingTimeOver();
  session.StartSearch();
  EXPECT_THAT(ports.events, ElementsAre("disarm:SettlingTime", "disarm:SearchStart",
                                        "disarm:EarlyLook", "disarm:FirstEarlyLook"));
}

// The early look only brings certificates sooner: a module may list a token
// before it can read its objects, so the search at the end of the settling
// time still makes the full pass and is the one that announces.
TEST_F(TokenSessionTest, AnEarlyLookNeverEndsAnInsertionShort) {
  ports.settings.URLOpenMode = 1;
  ports.settings.URL = L"https://intranet.example/";
  Start();
  session.USBArrival(0xFF04);
  session.FirstEarlyLook();  // the first look, at once: not yet seen
  EXPECT_EQ(session.TokenCount, 0);
  EXPECT_EQ(ports.Count("disarm:FirstEarlyLook"), 1);  // looked at once only

  // Listed, its objects not yet readable; then only the first container.
  const FakeTokenLibrary::Token full = UserToken("a");
  FakeTokenLibrary::Token listed = full;
  listed.containerList.clear();
  listed.standalone.clear();
  lib.tokens.push_back(listed);
  ports.events.clear();
  session.EarlyLook();
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_TRUE(lib.added.empty());
  EXPECT_EQ(ports.Count("disarm:EarlyLook"), 0);  // keeps looking
  lib.tokens[0].containerList = std::string("a-c1") + '\0';
  session.EarlyLook();
  EXPECT_THAT(lib.added, ElementsAre("MY:a-c1:1:a-c1-x", "MY:a-c1:2:a-c1-s"));
  EXPECT_EQ(ports.Count("disarm:EarlyLook"), 1);  // something came: no more early looks
  EXPECT_THAT(ports.events, Not(Contains(::testing::StartsWith("balloon"))));
  EXPECT_THAT(ports.events, Not(Contains("arm:TCheckDefaultUPIN")));
  EXPECT_THAT(ports.reported,
              Not(Contains(::testing::StartsWith("1101:"))));  // the full pass reports

  // The rest appears before the settling time is over.
  lib.tokens[0] = full;
  lib.added.clear();
  session.SettlingTimeOver();
  session.StartSearch();
  session.TFindUSBKeyTimer();
  EXPECT_THAT(lib.added,
              IsSupersetOf({"MY:a-c1:1:a-c1-x", "MY:a-c2:1:a-c2-x", "ROOT:a-root", "CA:a-inter"}));
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
  EXPECT_THAT(ports.events, IsSupersetOf({"arm:TCheckInit", "web:https://intranet.example/",
                                          "arm:TCheckDefaultUPIN"}));
  EXPECT_THAT(ports.reported, Contains("1101:token|5"));  // reported once, for the full pass
  EXPECT_EQ(std::count_if(ports.reported.begin(), ports.reported.end(),
                          [](const std::string& e) { return e.rfind("1101:", 0) == 0; }),
            1);
}

// A token that truly holds no certificate: early looks to the end of the
// settling time, then one balloon and one PIN check.
TEST_F(TokenSessionTest, ATokenWithoutCertificatesIsAnnouncedOnce) {
  Start();
  FakeTokenLibrary::Token empty = UserToken("e");
  empty.containerList.clear();
  empty.standalone.clear();
  lib.tokens.push_back(empty);
  session.USBArrival(0xFF04);
  for (int look = 0; look < 8; ++look)
    session.EarlyLook();
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 0);
  Arrive();
  session.TFindUSBKeyTimer();
  session.TFindUSBKeyTimer();
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
  EXPECT_EQ(ports.Count("arm:TCheckDefaultUPIN"), 1);
}

// A registration that fails early (the token still settling) shows and
// records nothing; the search of the settling time handles the insertion.
TEST_F(TokenSessionTest, AnEarlyFailureIsLeftToTheSettlingTimesSearch) {
  Start();
  lib.tokens.push_back(UserToken("a"));
  lib.addStatus["a-c1,1"] = 0x80090016;
  session.USBArrival(0xFF04);
  ports.events.clear();
  for (int look = 0; look < 8; ++look)
    session.EarlyLook();
  EXPECT_THAT(ports.events, Not(Contains("balloon:USBKey???:1")));
  EXPECT_EQ(ports.Count("message:5"), 0);
  EXPECT_THAT(ports.reported, Not(Contains(::testing::StartsWith("1102:"))));
  lib.addStatus.clear();  // settled
  session.SettlingTimeOver();
  session.StartSearch();
  session.TFindUSBKeyTimer();
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
  EXPECT_THAT(lib.added, Contains("MY:a-c1:1:a-c1-x"));
  EXPECT_THAT(ports.reported, Not(Contains(::testing::StartsWith("1102:"))));

  // Pulled while still settling: what the early pass registered goes.
  lib.addStatus["a-c1,1"] = 0x80090016;
  lib.tokens.push_back(UserToken("b"));
  session.USBArrival(0xFF04);
  session.EarlyLook();
  lib.tokens.pop_back();
  lib.calls.clear();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.CallsNamed("remove_all_certs_from_store"), testing::SizeIs(1));
}

TEST_F(TokenSessionTest, OtherProductIdsAndAStoppedLibraryStartNoSearch) {
  Start();
  session.USBArrival(0x1234);
  EXPECT_TRUE(ports.events.empty());
  state.LibraryReady = false;
  session.USBArrival(0xFF04);
  EXPECT_TRUE(ports.events.empty());
}

TEST_F(TokenSessionTest, RemovalWhileEveryTokenAnswersDoesNothing) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.CallsNamed("remove_all_certs_from_store"), ElementsAre());
  EXPECT_TRUE(ports.events.empty());
}

TEST_F(TokenSessionTest, RemovalOfTheLastToken) {
  state.ProviderRegistered = true;
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.tokens.clear();  // pulled out
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.CallsNamed("remove_all_certs_from_store"),
              ElementsAre("remove_all_certs_from_store(Veltrox Pelkin V9Arc CSP V1.1)"));
  EXPECT_EQ(session.TokenCount, 0);
  EXPECT_THAT(ports.events, ElementsAre("closeDialogs:0", "balloon:USBKey???:1", "arm:TUSBRemove"));
  ports.events.clear();
  session.TUSBRemoveTimer();
  EXPECT_THAT(ports.events, ElementsAre("disarm:TUSBRemove", "icon:off"));
}

TEST_F(TokenSessionTest, TokensPresentAtStartAreRegisteredWithoutABalloon) {
  state.ProviderRegistered = true;
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_THAT(lib.added, Contains("MY:a-c2:1:a-c2-x"));
  EXPECT_THAT(ports.events, Contains("icon:on"));
  EXPECT_THAT(ports.events, Not(Contains(::testing::StartsWith("balloon"))));
  EXPECT_THAT(ports.events, Not(Contains("arm:TCheckDefaultUPIN")));
  EXPECT_THAT(ports.events, Contains("arm:TAppUpdate"));
  EXPECT_THAT(lib.CallsNamed("token_reload_all_objects"),
              ElementsAre("token_reload_all_objects(0)"));
}

TEST_F(TokenSessionTest, WhatAnEarlierRunLeftLeavesBeforeTheFirstScan) {
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  ASSERT_GE(lib.calls.size(), 3u);
  EXPECT_EQ(lib.calls[0], "remove_marked_certs_from_store()");
  EXPECT_EQ(lib.calls[1], "init_pkcs11(v9arc_pkcs11.dll)");
  EXPECT_THAT(lib.added, Contains("MY:a-c2:1:a-c2-x"));  // registered again

  // Also when the library cannot start: nothing would ever remove them.
  FakeTokenLibrary broken;
  broken.initStatus = 5;
  TokenSession other{state, broken, ports, strings, config};
  other.InitMonitor();
  EXPECT_THAT(broken.CallsNamed("remove_marked_certs_from_store"),
              ElementsAre("remove_marked_certs_from_store()"));
}

// A library of the published 20 functions has no sweep: one log line, and
// everything else as before.
TEST_F(TokenSessionTest, ALibraryWithoutTheSweepServesAsBefore) {
  lib.publishedBoundaryOnly = true;
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  EXPECT_EQ(std::count_if(ports.events.begin(), ports.events.end(),
                          [](const std::string& e) {
                            return e.find("no remove_marked_certs_from_store") != std::string::npos;
                          }),
            1);
  EXPECT_TRUE(state.LibraryReady);
  EXPECT_THAT(lib.added, Contains("MY:a-c2:1:a-c2-x"));
  EXPECT_THAT(ports.events, Not(Contains("arm:TCloseProject")));
}

TEST_F(TokenSessionTest, FailedLibraryStartEndsTheProgramAfterItsMessage) {
  lib.initStatus = 5;
  session.InitMonitor();
  EXPECT_FALSE(state.LibraryReady);
  EXPECT_THAT(ports.events, Contains("arm:TCloseProject"));
  ports.events.clear();
  session.TCloseProjectTimer();
  EXPECT_THAT(ports.events, ElementsAre("disarm:TCloseProject", "message:2", "exit"));
  EXPECT_EQ(ports.messages.back(), L"pkcs11初始化失败");
}

TEST_F(TokenSessionTest, ExchangeFailureOfTheSecondContainer) {
  state.ProviderRegistered = true;
  auto token = UserToken("a");
  token.containerList += std::string("a-c3") + '\0';
  token.containerCerts[{"a-c2", 2}] = {"a-c2-s"};
  token.containerCerts[{"a-c3", 1}] = {"a-c3-x"};
  lib.tokens.push_back(token);
  lib.addStatus["a-c2,1"] = 5;
  session.InitMonitor();
  EXPECT_EQ(ports.messages, std::vector<std::wstring>{L"注册证书失败，错误码 = 10005"});
  EXPECT_THAT(lib.added, Contains("MY:a-c1:2:a-c1-s"));
  EXPECT_THAT(lib.added, Not(Contains("MY:a-c2:2:a-c2-s")));
  EXPECT_THAT(lib.added, Not(Contains("MY:a-c3:1:a-c3-x")));
  EXPECT_THAT(lib.added, Contains("ROOT:a-root"));
  EXPECT_THAT(lib.added, Contains("CA:a-inter"));
  EXPECT_EQ(session.RegisterTokenCertificates(0), 10005);

  // After an insertion each failing token gets its own, topmost box.
  ports.messages.clear();
  lib.tokens.push_back(UserToken("b"));
  ArriveAndSearch();
  EXPECT_EQ(ports.messages, std::vector<std::wstring>{L"注册证书失败，错误码 =10005"});
  EXPECT_THAT(ports.events, Contains("message:5"));
}

TEST_F(TokenSessionTest, MicrosoftProviderWhenTheMakersIsNotInstalled) {
  ports.providerInstalled = false;
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  EXPECT_FALSE(state.ProviderRegistered);
  EXPECT_EQ(strings.PROVIDER_NAME, L"Veltrox Pelkin V9Arc CSP V1.1");  // the table is left alone
  EXPECT_EQ(session.ProviderName(), L"Microsoft Base Smart Card Crypto Provider");
  EXPECT_THAT(ports.events, Contains("log:Mon CSP:Microsoft Base Smart Card Crypto Provider"));
  for (const auto& p : lib.providers)
    EXPECT_EQ(p, L"Microsoft Base Smart Card Crypto Provider");
  lib.tokens.clear();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(
      lib.CallsNamed("remove_all_certs_from_store"),
      ElementsAre("remove_all_certs_from_store(Microsoft Base Smart Card Crypto Provider)"));
}

TEST_F(TokenSessionTest, ExpiredUserCertificatesStayOutOfTheStoreOnlyWhenTheSettingsSaySo) {
  FakeTokenLibrary::Token token = UserToken("a");
  token.containerCerts[{"a-c1", 1}].notAfter[0] = 2026;  // ended on 2026-01-01
  token.containerCerts[{"a-c2", 1}].notAfter[0] = 2026;
  token.containerCerts[{"a-c2", 1}].notAfter[1] = 12;
  token.containerCerts[{"a-c2", 1}].notAfter[2] = 9;  // ends tomorrow
  token.standalone[0].notAfter[0] = 2020;             // an expired root still goes in
  lib.tokens.push_back(token);
  for (const std::int32_t skip : {0, 1, 2}) {  // only 1 switches it on
    ports.settings.SkipExpiredCertificates = skip;
    lib.added.clear();
    session.InitMonitor();
    EXPECT_EQ(std::count(lib.added.begin(), lib.added.end(), "MY:a-c1:1:a-c1-x"), skip == 1 ? 0 : 1)
        << skip;
    EXPECT_THAT(lib.added, Contains("MY:a-c2:1:a-c2-x")) << skip;
    EXPECT_THAT(lib.added, Contains("MY:a-c1:2:a-c1-s")) << skip;
    EXPECT_THAT(lib.added, Contains("ROOT:a-root")) << skip;
  }
}

TEST_F(TokenSessionTest, UninitialisedTokensGiveOneBalloonPerRun) {
  lib.tokens.push_back(UserToken("a"));
  lib.tokens.push_back(UserToken("b"));
  lib.tokens[0].initialised = 0;
  lib.tokens[1].initialised = 0;
  Start();
  session.TCheckInitTimer();
  session.TCheckInitTimer();
  EXPECT_EQ(ports.Count("balloon:??????????????:4"), 1);
}

TEST_F(TokenSessionTest, ReRegistrationForTheManagerAndShutdown) {
  Start();  // no token
  session.TRegCertXETimer();
  EXPECT_THAT(ports.events, ElementsAre("disarm:TRegCertXE",
                                        "log:Registered again on the manager's request: 0 token(s)",
                                        "send:LoadCert"));
  EXPECT_THAT(lib.calls, ElementsAre("remove_all_certs_from_store(Veltrox Pelkin V9Arc CSP V1.1)"));
  lib.calls.clear();
  ports.events.clear();
  session.Shutdown();
  EXPECT_THAT(lib.calls, ElementsAre("remove_all_certs_from_store(Veltrox Pelkin V9Arc CSP V1.1)",
                                     "uninit_pkcs11()"));
  EXPECT_THAT(ports.events, ElementsAre("send:CLOSE"));
}

// While the system's root prompt is up, its message loop delivers a pull,
// an unlock and two "RegCert": each waits for the pass, and runs once after.
TEST_F(TokenSessionTest, EventsInsideTheRootPromptWaitForThePass) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.tokens.push_back(UserToken("b"));
  std::vector<std::string> callsInside;
  lib.whileRootPromptIsUp = [&] {
    const std::size_t before = lib.calls.size();
    lib.tokens.pop_back();  // b pulled out again
    session.USBRemoval(0xFF04);
    session.SessionUnlocked();
    session.TRegCertXETimer();
    session.TRegCertXETimer();
    session.TFindUSBKeyTimer();
    callsInside.assign(lib.calls.begin() + before, lib.calls.end());
  };
  ArriveAndSearch();
  EXPECT_THAT(callsInside, ElementsAre());  // nothing re-entered the library
  // After the pass: the removal, the re-scan, one re-registration.
  EXPECT_THAT(lib.CallsNamed("remove_all_certs_from_store"), testing::SizeIs(2));
  EXPECT_EQ(ports.Count("send:LoadCert"), 1);
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_FALSE(session.InsideRootPrompt());
}

// Logoff while the root prompt is up: the shutdown runs at once, and the
// pass below it adds nothing more.
TEST_F(TokenSessionTest, LogoffInsideTheRootPromptEndsThePass) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.tokens.push_back(UserToken("b"));
  std::size_t addedAtShutdown = 0;
  lib.whileRootPromptIsUp = [&] {
    session.Shutdown();
    addedAtShutdown = lib.calls.size();
  };
  ArriveAndSearch();
  EXPECT_THAT(lib.CallsNamed("uninit_pkcs11"), testing::SizeIs(1));
  EXPECT_EQ(lib.calls.size(), addedAtShutdown);  // no call of the library after its end
  session.Shutdown();
  EXPECT_THAT(lib.CallsNamed("remove_all_certs_from_store"), testing::SizeIs(1));
}

// Any program of the user can send "RegCert" in the manager's name: a root
// the user declined is not put to them again in this run, not even then.
TEST_F(TokenSessionTest, ADeclinedRootIsNotAskedForAgainInThisRunNotEvenByRegCert) {
  lib.declineRoots = true;
  lib.tokens.push_back(UserToken("a"));
  Start();  // asked once, declined
  session.SessionUnlocked();
  ports.events.clear();
  lib.tokens.push_back(UserToken("b"));
  ArriveAndSearch();
  // a's root is not asked for again; b's own is.
  EXPECT_THAT(
      lib.CallsNamed("helper_add_root_cert_to_store"),
      ElementsAre("helper_add_root_cert_to_store(CA)", "helper_add_root_cert_to_store(CA)",
                  "helper_add_root_cert_to_store(ROOT)", "helper_add_root_cert_to_store(CA)"));
  lib.calls.clear();
  session.TRegCertXETimer();
  EXPECT_THAT(
      lib.CallsNamed("helper_add_root_cert_to_store"),
      ElementsAre("helper_add_root_cert_to_store(CA)", "helper_add_root_cert_to_store(CA)"));
}

// "RegCert" runs at most once in five seconds: a later one waits, armed,
// and is not lost; however many came meanwhile, one re-registration.
TEST_F(TokenSessionTest, ReRegistrationsAreFiveSecondsApart) {
  Start();
  const auto ran = [&] { return ports.Count("send:LoadCert"); };
  session.TRegCertXETimer();
  EXPECT_EQ(ran(), 1);
  const std::uint64_t first = ports.milliseconds;
  for (const std::uint64_t after : {0u, 1000u, 4999u}) {
    ports.milliseconds = first + after;
    ports.events.clear();
    session.TRegCertXETimer();
    EXPECT_EQ(ports.Count("disarm:TRegCertXE"), 0) << after;  // still armed
  }
  EXPECT_EQ(ports.Count("send:LoadCert"), 0);
  ports.milliseconds = first + 5000;
  session.TRegCertXETimer();
  EXPECT_EQ(ran(), 1);  // counted since the last clear
  EXPECT_EQ(ports.Count("disarm:TRegCertXE"), 1);
}

TEST_F(TokenSessionTest, AFailedInformationReadMakesTheNextRefreshAChange) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.tokens[0].infoStatus = 0x30;
  EXPECT_EQ(session.RefreshTokenList(), 0x30);
  EXPECT_EQ(session.TokenCount, 0);
  lib.tokens[0].infoStatus = 0;
  ports.events.clear();
  ArriveAndSearch();
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
}

FakeTokenLibrary::Cert EndsOn(const std::string& der,
                              const std::u16string& subject,
                              int year,
                              int month,
                              int day) {
  FakeTokenLibrary::Cert cert{der, subject};
  cert.notAfter[0] = year;
  cert.notAfter[1] = month;
  cert.notAfter[2] = day;
  return cert;
}

TEST_F(TokenSessionTest, ExpiryBoxesKeyExchangeFirstAndTokenZeroFirst) {
  ports.settings.CertTips = 1;
  ports.settings.CertDay = 30;
  Start();
  lib.tokens.push_back(UserToken("a"));
  lib.tokens.push_back(UserToken("b"));
  lib.tokens[0].containerCerts[{"a-c1", 1}] = EndsOn("x", u"Alice", 2026, 12, 20);
  lib.tokens[0].containerCerts[{"a-c1", 2}] = EndsOn("s", u"Alice (signing)", 2025, 1, 31);
  lib.tokens[0].containerCerts[{"a-c2", 1}] = EndsOn("late", u"Alice (later)", 2027, 1, 8);
  lib.tokens[1].containerCerts[{"b-c1", 1}] = EndsOn("bad", u"Bob (no date)", 2027, 2, 30);
  lib.tokens[1].containerCerts[{"b-c1", 2}] = EndsOn("bob", u"Bob", 2027, 1, 7);
  ArriveAndSearch();
  EXPECT_EQ(ports.messages, (std::vector<std::wstring>{L"Alice(2026-12-20 过期)",
                                                       L"Alice (signing)(2025-01-31 过期)",
                                                       L"Bob(2027-01-07 过期)"}));
  EXPECT_EQ(ports.Count("message:5"), 3);  // topmost information boxes
}

TEST_F(TokenSessionTest, ExpiryWarningsOffReadNothing) {
  ports.settings.CertTips = 0;
  Start();
  lib.tokens.push_back(UserToken("a"));
  lib.tokens[0].containerCerts[{"a-c1", 1}] = EndsOn("x", u"Alice", 2020, 1, 1);
  ArriveAndSearch();
  EXPECT_TRUE(ports.messages.empty());
  EXPECT_EQ(lib.CallsNamed("container_load_all").size(), 1u);  // the registration pass only
}

TEST_F(TokenSessionTest, EachTokenAddsItsOwnStandaloneCertificates) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.added.clear();
  lib.tokens.push_back(UserToken("b"));
  ArriveAndSearch();
  EXPECT_EQ(std::count(lib.added.begin(), lib.added.end(), "ROOT:a-root"), 1);
  EXPECT_THAT(lib.added, Contains("ROOT:b-root"));
  EXPECT_THAT(lib.added, Contains("CA:b-inter"));
}

// A container's certificate that says cA (self-signed, a CA operator's own)
// is the user's, with its key, not a root.
TEST_F(TokenSessionTest, AContainersCaCertificateGoesWithItsKey) {
  FakeTokenLibrary::Token token = UserToken("a");
  token.containerCerts[{"a-c2", 1}].kind = 1;
  lib.tokens.push_back(token);
  Start();
  lib.added.clear();
  session.TRegCertXETimer();
  EXPECT_THAT(lib.added, Contains("MY:a-c2:1:a-c2-x"));
  EXPECT_THAT(lib.added, Not(Contains("ROOT:a-c2-x")));
}

TEST_F(TokenSessionTest, AFailedConnectDoesNotHideTheInsertion) {
  lib.tokens.push_back(UserToken("a"));
  Start();
  lib.tokens.push_back(UserToken("b"));
  lib.tokens[1].connectStatus = 0x30;  // the new token does not answer yet
  Arrive();
  session.TFindUSBKeyTimer();
  EXPECT_EQ(session.TokenCount, 1);
  lib.tokens[1].connectStatus = 0;
  session.TFindUSBKeyTimer();
  EXPECT_EQ(session.TokenCount, 2);
  EXPECT_EQ(ports.Count("balloon:USBKey???:1"), 1);
  EXPECT_THAT(lib.added, Contains("MY:\\\\.\\b-0001\\b-c1:1:b-c1-x"));
}

TEST_F(TokenSessionTest, TheProgramEndingInsideABoxStopsTheHandlerBelowIt) {
  auto failing = UserToken("a");
  lib.addStatus["a-c1,1"] = 5;
  ports.settings.CertTips = 1;
  ports.whileBoxIsOpen = [&] { session.Shutdown(); };
  Start();
  lib.tokens = {failing, UserToken("b")};
  Arrive();
  for (int tick = 0; tick < 5; ++tick)
    session.TFindUSBKeyTimer();
  // The first token's box; the program ended there. Nothing touches the
  // library after it has ended, and nothing more is armed or shown.
  ASSERT_EQ(ports.messages.size(), 1u);
  EXPECT_EQ(lib.calls.back(), "uninit_pkcs11()");
  EXPECT_THAT(lib.added, Not(Contains(::testing::HasSubstr("b-c1:1:b-c1-x"))));
  EXPECT_THAT(ports.events, Not(Contains("arm:TCheckDefaultUPIN")));
  session.USBRemoval(0xFF04);
  session.TRegCertXETimer();
  EXPECT_EQ(lib.calls.back(), "uninit_pkcs11()");
}

TEST_F(TokenSessionTest, ALanguageReloadCannotChangeTheProviderUsedForRemoval) {
  ports.providerInstalled = false;
  lib.tokens.push_back(UserToken("a"));
  Start();
  strings.PROVIDER_NAME = L"Veltrox Pelkin V9Arc CSP V1.1";  // the settings dialog reloaded
  lib.tokens.clear();
  session.USBRemoval(0xFF04);
  session.Shutdown();
  EXPECT_THAT(
      lib.CallsNamed("remove_all_certs_from_store"),
      ElementsAre("remove_all_certs_from_store(Microsoft Base Smart Card Crypto Provider)",
                  "remove_all_certs_from_store(Microsoft Base Smart Card Crypto Provider)"));
}

TEST_F(TokenSessionTest, AnEmptyProviderNameCountsAsNotRegistered) {
  strings.PROVIDER_NAME = L"  ";
  session.InitMonitor();
  EXPECT_FALSE(state.ProviderRegistered);
  EXPECT_EQ(session.ProviderName(), L"Microsoft Base Smart Card Crypto Provider");
  session.Shutdown();
  EXPECT_THAT(
      lib.CallsNamed("remove_all_certs_from_store"),
      ElementsAre("remove_all_certs_from_store(Microsoft Base Smart Card Crypto Provider)"));
}

TEST_F(TokenSessionTest, ASessionUnlockRescans) {
  Start();
  lib.tokens.push_back(UserToken("a"));
  session.SessionUnlocked();
  EXPECT_EQ(session.TokenCount, 1);
  EXPECT_THAT(lib.added, Contains("MY:a-c1:1:a-c1-x"));
}

// --- what administrators set, and what they see -----------------------------

TEST_F(TokenSessionTest, ThePolicysModuleAndProviderReplaceTheStringTables) {
  state.ProviderRegistered = true;
  policy.Pkcs11Module = L"C:\\Program Files\\Other\\other_pkcs11.dll";
  policy.ProviderName = L"Other Maker CSP v2";
  session.UsePolicy(policy);
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  EXPECT_THAT(lib.calls, Contains("init_pkcs11(C:\\Program Files\\Other\\other_pkcs11.dll)"));
  EXPECT_THAT(lib.providers, Each(std::wstring(L"Other Maker CSP v2")));
  EXPECT_FALSE(lib.providers.empty());
  session.Shutdown();
  EXPECT_EQ(lib.providers.back(), L"Other Maker CSP v2");
}

// Links are CryptoAPI links: a key storage provider's name (or any name no
// CryptoAPI provider is registered under) is refused with its log line and
// event, and the monitor's own choice serves.
TEST_F(TokenSessionTest, APolicyProviderThatIsNoCryptoApiProviderIsRefused) {
  state.ProviderRegistered = true;
  policy.ProviderName = L"Microsoft Smart Card Key Storage Provider";
  session.UsePolicy(policy);
  ports.missingProviders = {"Microsoft Smart Card Key Storage Provider"};
  lib.tokens.push_back(UserToken("a"));
  session.InitMonitor();
  EXPECT_THAT(lib.providers, Each(std::wstring(L"Veltrox Pelkin V9Arc CSP V1.1")));
  EXPECT_FALSE(lib.providers.empty());
  EXPECT_THAT(ports.reported,
              Contains("1400:ProviderName|\"Microsoft Smart Card Key Storage Provider\" is not a "
                       "registered CryptoAPI provider"));
  EXPECT_EQ(std::count_if(ports.events.begin(), ports.events.end(),
                          [](const std::string& e) {
                            return e.rfind("log:Policy value ignored: ProviderName", 0) == 0;
                          }),
            1);
}

TEST_F(TokenSessionTest, DevicesThePolicyAddsStartASearchOthersDoNot) {
  policy.ProductIds = {{std::nullopt, 0x0A1B}, {0x096E, 0x0608}};
  session.UsePolicy(policy);
  Start();
  const auto armed = [&] { return ports.Count("arm:SettlingTime"); };
  session.USBArrival(0x0A1B, 0x1234);  // any vendor
  EXPECT_EQ(armed(), 1);
  session.USBArrival(0x0608, 0x096E);
  EXPECT_EQ(armed(), 2);
  session.USBArrival(0x0608, 0x096F);  // that product of another vendor
  session.USBArrival(0xFF06, 0x1D99);
  EXPECT_EQ(armed(), 2);
  session.TokenDeviceArrival();  // a smart-card reader, when watched
  EXPECT_EQ(armed(), 3);
}

TEST_F(TokenSessionTest, UpdateCheckOffByPolicyIsNeverArmed) {
  policy.UpdateCheck = false;
  session.UsePolicy(policy);
  session.InitMonitor();
  EXPECT_THAT(ports.events, Not(Contains("arm:TAppUpdate")));
  TokenSession unmanaged{state, lib, ports, strings, config};
  unmanaged.InitMonitor();
  EXPECT_THAT(ports.events, Contains("arm:TAppUpdate"));
}

// Each insertion, pass and removal is one event, with the token's own label
// and serial; a token already there is not announced again.
TEST_F(TokenSessionTest, InsertionRegistrationAndRemovalAreReportedAsEvents) {
  lib.tokens.push_back(UserToken("a"));
  lib.tokens[0].label = "Alice";
  session.InitMonitor();
  // Two container certificates of c1, one of c2, the root and the CA.
  EXPECT_THAT(ports.reported, ElementsAre("1100:Alice|a-0001", "1101:Alice|5"));

  ports.reported.clear();
  lib.tokens.push_back(UserToken("b"));
  lib.addStatus["b-c2,1"] = 7;
  ArriveAndSearch();
  EXPECT_THAT(ports.reported, ElementsAre("1100:token|b-0001", "1101:Alice|5", "1102:token|10007"));

  ports.reported.clear();
  lib.tokens.pop_back();
  session.USBRemoval(0xFF04);
  // What left "MY": Alice's 3 (added twice, there once) and the 2 of b that
  // went in before its failure, all before Alice's go in again. Roots and CA
  // certificates stay where they are and are not counted.
  EXPECT_THAT(ports.reported, ElementsAre("1103:5", "1101:Alice|5"));

  ports.reported.clear();
  session.Shutdown();
  EXPECT_THAT(ports.reported, ElementsAre("1103:3"));
}

// A search that ran after the token had gone (the settling time's, or an
// unlock's) forgot the token; the removal notification that follows must
// still take its certificates out.
TEST_F(TokenSessionTest, ARemovalAfterASearchMissedTheTokenStillRemovesItsCertificates) {
  Start();
  lib.tokens.push_back(UserToken("a"));
  ArriveAndSearch();
  ASSERT_EQ(session.TokenCount, 1);
  lib.tokens.clear();
  session.SessionUnlocked();  // finds nothing: the count is 0
  EXPECT_EQ(session.TokenCount, 0);
  lib.calls.clear();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.calls, Contains(::testing::StartsWith("remove_all_certs_from_store")));
  EXPECT_THAT(ports.reported, Contains("1103:3"));
  // With nothing of ours in the store, a removal has nothing to do.
  lib.calls.clear();
  session.USBRemoval(0xFF04);
  EXPECT_THAT(lib.calls, Not(Contains(::testing::StartsWith("remove_all_certs_from_store"))));
}
