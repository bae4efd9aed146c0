// Registration benchmark, run by scripts/bench under Wine (not a test).
//   registration_bench pass TOKEN-COUNT-HINT
//       times RegisterTokenCertificates on slot 0's token through the real
//       library and store, beside the same library calls made directly in a
//       loop (the floor)
//   registration_bench arrival --config VTOKEN_INI --token FOLDER
//       with the monitor running: times from the arrival notification to the
//       last certificate of the token in the store
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "config/app_config.h"
#include "i18n/res_strs.h"
#include "monitor/token_session.h"
#include "token/token_library_win.h"
#include "token/token_operations.h"
#include "win32/files_win.h"
#include "win32/unique_handle_win.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Ports that do nothing: the pass alone is measured.
class QuietPorts : public MonitorPorts {
 public:
  void ShowBalloon(const std::wstring&, int) override {}
  void SetIconVisible(bool) override {}
  void ShowMessage(const std::wstring&, unsigned) override {}
  void ArmTimer(MonitorTimer) override {}
  void DisarmTimer(MonitorTimer) override {}
  void Wait(int) override {}
  void ExitProgram() override {}
  TConfigInfo ReadUserSettings() override { return {}; }
  bool ProviderKeyExists(const std::wstring&) override { return false; }
  void WriteLog(const std::wstring&) override {}
  void SendToManager(const std::wstring&) override {}
  void OpenWebAddress(const std::wstring&, int) override {}
  LocalDateTime Now() override { return {}; }
  void CloseDialogsOnRemoval(std::int32_t) override {}
};

// The same calls as a registration pass, without the program around them.
int DirectPass(TokenLibrary& lib, const std::wstring& provider) {
  int stored = 0;
  TV9Info info;
  LoadContainerNames(lib, 0, info);
  std::vector<unsigned char> data(kCertDataSize);
  char16_t subject[257], issuer[257];
  char serial[257];
  std::int32_t version, kind, before[9], after[9], out[3];
  unsigned char pub[257];
  for (int c = 0; c < info.ContainerCount; ++c) {
    for (std::int32_t spec : {1, 2}) {
      std::int32_t len = kCertDataSize;
      if (lib.container_get_cert(0, info.ContainerNames[c], spec, data.data(), &len) != 0)
        continue;
      lib.container_get_pubkey(0, info.ContainerNames[c], spec, &out[0], &out[1], pub, &out[2]);
      lib.helper_get_cert_info2(data.data(), len, subject, issuer, &version, serial, before, after,
                                &kind);
      stored += lib.container_addcert_to_store(info.ContainerNames[c], provider, spec, data.data(),
                                               len) == 0;
    }
  }
  std::int32_t handles[65], count = 0;
  lib.token_find_standalone_certs(0, handles, &count);
  for (int i = 0; i < std::min(count, 65); ++i) {
    std::int32_t len = kCertDataSize;
    if (lib.token_get_cert(0, handles[i], data.data(), &len) != 0)
      continue;
    lib.helper_get_cert_info2(data.data(), len, subject, issuer, &version, serial, before, after,
                              &kind);
    stored += lib.helper_add_root_cert_to_store(kind == 1 ? L"ROOT" : L"CA", data.data(), len) == 0;
  }
  return stored;
}

int Pass(int rounds) {
  DllTokenLibrary lib(ExecutableFolder() + L"CorvanexMgr.dll");
  QuietPorts ports;
  TResStrs strings;
  TConfigInfo config;
  ProgramState state;
  TokenSession session(state, lib, ports, strings, config);
  if (InitTokenLibrary(lib, strings.PKCS11Name) != 0) {
    std::printf("the token library did not start\n");
    return 1;
  }
  std::int32_t count = 0;
  FindAndConnectTokens(lib, count);
  if (count < 1) {
    std::printf("no token in slot 0\n");
    return 1;
  }
  ReadTokenInfo(lib, 0, state.TokenTable[0]);
  state.ProviderRegistered = false;
  session.RegisterTokenCertificates(0);  // warm-up, and the provider name settles
  double pass = 0, floor = 0;
  int stored = 0;
  for (int r = 0; r < rounds; ++r) {
    lib.remove_all_certs_from_store(strings.PROVIDER_NAME);
    auto t0 = Clock::now();
    session.RegisterTokenCertificates(0);
    pass += Ms(Clock::now() - t0);
    lib.remove_all_certs_from_store(strings.PROVIDER_NAME);
    t0 = Clock::now();
    stored = DirectPass(lib, strings.PROVIDER_NAME);
    floor += Ms(Clock::now() - t0);
  }
  lib.remove_all_certs_from_store(strings.PROVIDER_NAME);
  lib.uninit_pkcs11();
  std::printf("containers: %d, certificates stored per pass: %d\n",
              state.TokenTable[0].ContainerCount, stored);
  std::printf("registration pass:   %8.1f ms (mean of %d)\n", pass / rounds, rounds);
  std::printf("direct calls (floor): %7.1f ms (mean of %d)\n", floor / rounds, rounds);
  return 0;
}

int CountStore(const wchar_t* name, const std::wstring& issuerOrSubject) {
  UniqueCertStore store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
  int n = 0;
  const CERT_CONTEXT* c = nullptr;
  while ((c = CertEnumCertificatesInStore(store.get(), c))) {
    wchar_t text[256] = {};
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, text, 256);
    wchar_t subject[256] = {};
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    n += issuerOrSubject == text || issuerOrSubject == subject;
  }
  return n;
}

int Arrival(const std::wstring& driver,
            const std::wstring& config,
            const std::wstring& token,
            int expectedUserCerts) {
  std::wstring cmd =
      L"\"" + driver + L"\" plug --config \"" + config + L"\" --slot 0 --token \"" + token + L"\"";
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  const auto t0 = Clock::now();
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi))
    return 1;
  CloseHandle(pi.hThread);
  // The last thing a pass stores is the token's standalone CA certificate.
  while (CountStore(L"MY", L"Demo Issuing CA") < expectedUserCerts ||
         CountStore(L"CA", L"Demo Issuing CA") < 1) {
    if (Clock::now() - t0 > std::chrono::seconds(30)) {
      std::printf("timed out\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double ms = Ms(Clock::now() - t0);
  WaitForSingleObject(pi.hProcess, 30000);
  CloseHandle(pi.hProcess);
  std::printf("arrival to last certificate: %8.1f ms (the waits and the first tick: 3100 ms)\n",
              ms);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() >= 1 && args[0] == L"pass")
    return Pass(args.size() > 1 ? _wtoi(args[1].c_str()) : 5);
  if (args.size() >= 4 && args[0] == L"arrival")
    return Arrival(ExecutableFolder() + L"tokendriver.exe", args[1], args[2],
                   _wtoi(args[3].c_str()));
  std::printf("usage: registration_bench pass [ROUNDS] | arrival CONFIG TOKEN-FOLDER USER-CERTS\n");
  return 2;
}
