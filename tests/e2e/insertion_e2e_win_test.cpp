// What an insertion does besides registering: expiry warnings, the web
// address, and the CA certificates of every token plugged in.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support_win_test.h"
#include "test_paths.h"
#include "base/files_win.h"
#include "tests/support/test_stores_win.h"
#include "base/unique_handle_win.h"

namespace {

using std::chrono::seconds;

std::string Narrow(const std::wstring& ascii) {
  return std::string(ascii.begin(), ascii.end());
}

int CountMy() {
  return static_cast<int>(ListStore(L"MY").size());
}

// yyyy-mm-dd of the end of the one certificate in "MY" with this subject.
std::wstring EndOf(const std::wstring& subject) {
  for (const auto& c : ListStore(L"MY"))
    if (c.subject == subject)
      return c.ends;
  return L"?";
}

class InsertionTest : public MonitorScenario {
 protected:
  // Plugs Alice into a fresh monitor with these settings; the boxes it shows.
  std::vector<std::wstring> PlugAliceWith(const std::string& settings) {
    EXPECT_TRUE(StartWith(settings + "LanguageID=2052\r\n"));
    monitor.Plug(0, L"alice");
    EXPECT_TRUE(WaitUntil([] { return CountMy() == 4; })) << CountMy();
    return AnswerMessageBoxes(process, L"提示", seconds(4));
  }
  void UnplugAndEnd() {
    monitor.Unplug(0);
    EXPECT_TRUE(WaitUntil([] { return CountMy() == 0; }));
    End();
  }
};

}  // namespace

TEST_F(InsertionTest, ExpiryWarningsOneBoxPerCertificateDueWithin30Days) {
  const auto boxes = PlugAliceWith("CertTips=1\r\nCertDay=30\r\n");
  EXPECT_EQ(boxes,
            (std::vector<std::wstring>{
                L"Alice Example (ends soon)(" + EndOf(L"Alice Example (ends soon)") + L" 过期)",
                L"Alice Example (expired)(" + EndOf(L"Alice Example (expired)") + L" 过期)"}));
  UnplugAndEnd();
}

TEST_F(InsertionTest, NoExpiryBoxWhenWarningsAreOff) {
  EXPECT_TRUE(PlugAliceWith("CertTips=0\r\nCertDay=30\r\n").empty());
  UnplugAndEnd();
}

// A module that lists a token 1.2 s before it can read its objects, as
// caching modules do: the early looks bring nothing, the settling time's
// search registers it in full, and the wait is reported nowhere as a failure.
TEST_F(InsertionTest, ATokenWhoseObjectsComeLateIsRegisteredInFull) {
  WritePrivateProfileStringW(L"module", L"objectsAfterMs", L"1200", monitor.vtokenConfig().c_str());
  monitor.CaptureEvents();
  EXPECT_TRUE(PlugAliceWith("CertTips=0\r\nDefaultPINMode=0\r\n").empty());
  UnplugAndEnd();
  const std::string events = monitor.CapturedEvents();
  EXPECT_NE(events.find("0x4000044d"), std::string::npos) << events;  // registered
  EXPECT_EQ(events.find("0xc000044e"), std::string::npos) << events;  // no failure
}

TEST_F(InsertionTest, BothTokensCaCertificatesReachTheirStores) {
  ASSERT_TRUE(StartWith("CertTips=0\r\nLanguageID=2052\r\n"));
  monitor.Plug(0, L"alice");
  ASSERT_TRUE(WaitUntil([] { return CountMy() == 4; }));
  monitor.Plug(1, L"bob");
  EXPECT_TRUE(WaitUntil([] { return CountMy() == 5; }));
  EXPECT_TRUE(WaitUntil([] { return StoreHas(L"ROOT", L"Demo Partner Root CA"); }));
  EXPECT_TRUE(StoreHas(L"ROOT", L"Demo Root CA"));
  EXPECT_TRUE(StoreHas(L"CA", L"Demo Issuing CA"));
  monitor.Unplug(1);
  UnplugAndEnd();
}

// A recorder registered as the handler of web addresses and as Internet
// Explorer, for the length of one test; the previous registrations come back.
// Wine's own Internet Explorer in System32 is moved aside meanwhile: Wine's
// shell first lets CreateProcess look for "IExplore.EXE" along the search
// path, where Windows has none, and only then asks App Paths.
class BrowserRecorder {
 public:
  explicit BrowserRecorder(const std::wstring& folder) : exe_(folder + L"browser.exe") {
    CopyFileW(BIN_DIR_PATH L"manager_standin.exe", exe_.c_str(), FALSE);
    wineExplorer_ = SystemFolder() + L"iexplore.exe";
    MoveFileExW(wineExplorer_.c_str(), (wineExplorer_ + L".aside").c_str(),
                MOVEFILE_REPLACE_EXISTING);
    runs_ = folder + L"standin-runs.txt";
    const std::wstring open = L"\"" + exe_ + L"\" \"%1\"";
    for (const wchar_t* scheme : {L"http", L"https"})
      Replace(std::wstring(L"Software\\Classes\\") + scheme + L"\\shell\\open\\command", open);
    Replace(L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IExplore.EXE", exe_);
  }
  ~BrowserRecorder() {
    MoveFileExW((wineExplorer_ + L".aside").c_str(), wineExplorer_.c_str(),
                MOVEFILE_REPLACE_EXISTING);
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      UniqueRegKey key;
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, it->first.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.put(), nullptr);
      if (it->second)
        RegSetValueExW(key.get(), nullptr, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(it->second->c_str()),
                       static_cast<DWORD>((it->second->size() + 1) * sizeof(wchar_t)));
      else
        RegDeleteValueW(key.get(), nullptr);
    }
  }
  // The arguments of each start so far, tab-separated.
  std::vector<std::string> Runs() const {
    std::vector<std::string> runs;
    const std::string log = ReadBytes(runs_);
    std::size_t at = 0;
    for (std::size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
      runs.push_back(log.substr(at + 3, end - at - 3));  // after "ran"
    return runs;
  }

 private:
  void Replace(const std::wstring& path, const std::wstring& value) {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
    wchar_t old[1024] = {};
    DWORD size = sizeof old - sizeof(wchar_t);
    std::optional<std::wstring> previous;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old),
                         &size) == ERROR_SUCCESS)
      previous = old;
    saved_.emplace_back(path, previous);
    RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

  static std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\";
  }

  std::wstring exe_;
  std::wstring wineExplorer_;
  std::wstring runs_;
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved_;
};

class WebAddressTest : public InsertionTest {
 protected:
  // Plugs Alice once with URLOpenMode 1 and these settings, waits for the
  // registration and a moment for a browser to start; what started.
  std::vector<std::string> Opened(const std::string& url, int browserMode) {
    BrowserRecorder recorder(monitor.appDir());
    PlugAliceWith("CertTips=0\r\nURLOpenMode=1\r\nURL=" + url +
                  "\r\nBrowserMode=" + std::to_string(browserMode) + "\r\n");
    WaitUntil([&] { return !recorder.Runs().empty(); }, seconds(3));
    UnplugAndEnd();
    return recorder.Runs();
  }
};

TEST_F(WebAddressTest, DefaultBrowserGetsTheTrimmedAddress) {
  EXPECT_EQ(Opened("\"  https://intranet.example/start?a=1  \"", 0),
            std::vector<std::string>{"\thttps://intranet.example/start?a=1"});
}

TEST_F(WebAddressTest, InternetExplorerGetsTheAddressAsItsArgument) {
  // A bare host goes as an http address: as it is, the shell would take
  // "portal.example.com" for a program.
  EXPECT_EQ(Opened("www.example.com/portal", 2),
            std::vector<std::string>{"\thttp://www.example.com/portal"});
}

TEST_F(WebAddressTest, AnAddressOfBlanksOpensNothing) {
  EXPECT_TRUE(Opened("\"   \"", 0).empty());
}

// The recorder itself stands for the program: it would write down its start.
TEST_F(WebAddressTest, APathToAProgramOpensNothing) {
  EXPECT_TRUE(Opened(Narrow(monitor.appDir() + L"browser.exe"), 0).empty());
}

TEST_F(WebAddressTest, AFileAddressOpensNothing) {
  std::string url = "file:///" + Narrow(monitor.appDir() + L"browser.exe");
  std::replace(url.begin(), url.end(), '\\', '/');
  EXPECT_TRUE(Opened(url, 0).empty());
  EXPECT_TRUE(Opened(url, 2).empty());
}
