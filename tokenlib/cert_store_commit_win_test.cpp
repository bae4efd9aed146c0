// The library's writing out of its adds while one store's commit waits, as
// Windows' commit of a new root waits for the user's answer to its prompt.
// This file's Crypt32() stands in for the library's binding: Wine's crypt32,
// but for that wait.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "base/crypt32_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"
#include "cert_store.h"
#include "test_paths.h"
#include "tests/support/test_files_win.h"
#include "tests/support/test_stores_win.h"

namespace {

// The commit of the system store named stalled waits until release is set.
struct CommitStall {
  std::mutex lock;
  std::map<HCERTSTORE, std::wstring> names;
  std::wstring stalled;
  UniqueKernelHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueKernelHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
CommitStall& Stall() {
  static CommitStall stall;
  return stall;
}

HCERTSTORE WINAPI OpenNamingSystemStores(LPCSTR provider,
                                         DWORD encoding,
                                         HCRYPTPROV_LEGACY prov,
                                         DWORD flags,
                                         const void* para) {
  HCERTSTORE store = ::CertOpenStore(provider, encoding, prov, flags, para);
  if (store &&
      (provider == CERT_STORE_PROV_SYSTEM_W || provider == CERT_STORE_PROV_SYSTEM_REGISTRY_W)) {
    std::lock_guard held(Stall().lock);
    Stall().names[store] = static_cast<const wchar_t*>(para);
  }
  return store;
}

BOOL WINAPI ControlWaitingOnStall(HCERTSTORE store, DWORD flags, DWORD control, const void* para) {
  if (control == CERT_STORE_CTRL_COMMIT) {
    bool stall;
    {
      std::lock_guard held(Stall().lock);
      const auto named = Stall().names.find(store);
      stall = named != Stall().names.end() && named->second == Stall().stalled;
    }
    if (stall) {
      SetEvent(Stall().entered.get());
      WaitForSingleObject(Stall().release.get(), INFINITE);
    }
  }
  return ::CertControlStore(store, flags, control, para);
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
int CountSubject(const wchar_t* store, const std::wstring& subject) {
  int n = 0;
  for (const StoredCert& c : ListStore(store))
    n += c.subject == subject;
  return n;
}

}  // namespace

const Crypt32Functions& Crypt32() {
  static const Crypt32Functions functions = [] {
    Crypt32Functions f;
#define CRYPT32_REAL(name) f.name = &::name;
    CRYPT32_FUNCTIONS(CRYPT32_REAL)
#undef CRYPT32_REAL
    f.CertOpenStore = &OpenNamingSystemStores;
    f.CertControlStore = &ControlWaitingOnStall;
    f.loaded = true;
    return f;
  }();
  return functions;
}

namespace {

struct StalledCommitCase {
  const wchar_t* stalled;
  // Whether the removal must end while the commit still waits: behind a
  // root prompt, a logoff would otherwise wait for the user's answer.
  bool removalEndsDuringTheWait;
};
void PrintTo(const StalledCommitCase& c, std::ostream* out) {
  *out << (c.stalled == std::wstring(L"ROOT") ? "ROOT" : "MY");
}

class StalledCommit : public ::testing::TestWithParam<StalledCommitCase> {
 protected:
  void SetUp() override {
    DeleteSubjectFromStore(L"MY", kUser);
    DeleteSubjectFromStore(L"ROOT", kRoot);
  }
  void TearDown() override {
    SetEvent(Stall().release.get());
    tokenlib::CloseUserStores();
    DeleteSubjectFromStore(L"MY", kUser);
    DeleteSubjectFromStore(L"ROOT", kRoot);
  }
  static constexpr wchar_t kUser[] = L"Store Test User";
  static constexpr wchar_t kRoot[] = L"Store Test Root";
};

// A certificate of ours and a new root are added; while the writer's commit
// of one store waits, the token is pulled. Nothing of ours stays in "MY",
// and the root is trusted.
TEST_P(StalledCommit, ARemovalBesideItLeavesNothingOfOurs) {
  const StalledCommitCase& c = GetParam();
  Stall().stalled = c.stalled;
  ResetEvent(Stall().entered.get());
  ResetEvent(Stall().release.get());
  const std::string user = TestCertificate("user"), root = TestCertificate("root");
  ASSERT_EQ(tokenlib::AddUserCertificate("c", "Test CSP S", 1, Bytes(user),
                                         static_cast<std::int32_t>(user.size())),
            0);
  ASSERT_EQ(
      tokenlib::AddCaCertificate(u"ROOT", Bytes(root), static_cast<std::int32_t>(root.size())), 0);
  ASSERT_EQ(WaitForSingleObject(Stall().entered.get(), 5000), WAIT_OBJECT_0);

  UniqueKernelHandle removed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread removal([&] {
    EXPECT_EQ(tokenlib::RemoveProviderCertificates("Test CSP S"), 0);
    SetEvent(removed.get());
  });
  const DWORD during = WaitForSingleObject(removed.get(), c.removalEndsDuringTheWait ? 5000 : 300);
  SetEvent(Stall().release.get());
  removal.join();
  if (c.removalEndsDuringTheWait) {
    EXPECT_EQ(during, WAIT_OBJECT_0) << "the removal waited for the commit";
  }
  tokenlib::CloseUserStores();
  EXPECT_EQ(CountSubject(L"MY", kUser), 0);
  EXPECT_EQ(CountSubject(L"ROOT", kRoot), 1);
}

INSTANTIATE_TEST_SUITE_P(OfEachStore,
                         StalledCommit,
                         ::testing::Values(StalledCommitCase{L"ROOT", true},
                                           StalledCommitCase{L"MY", false}),
                         [](const auto& info) {
                           return std::string(info.param.stalled == std::wstring(L"ROOT") ? "Root"
                                                                                          : "My");
                         });

}  // namespace
