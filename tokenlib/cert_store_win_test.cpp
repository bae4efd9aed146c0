// The store half of CorvanexMgr.dll through its exports, against Wine's crypt32.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_paths.h"
#include "base/corvanex_mgr_abi.h"
#include "cert_store.h"
#include "tests/support/test_files_win.h"
#include "tests/support/test_stores_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

int CountSubject(const std::vector<StoredCert>& certs, const std::wstring& subject) {
  int n = 0;
  for (auto& c : certs)
    n += c.subject == subject;
  return n;
}

// The store as another program sees it once the library has written out its
// adds (it does so as soon as they pause): listed until shows(listing) holds,
// for at most two seconds.
template <class Shows>
std::vector<StoredCert> ListStoreOnceWritten(const wchar_t* name, Shows shows) {
  const DWORD start = GetTickCount();
  std::vector<StoredCert> listing = ListStore(name);
  while (!shows(listing) && GetTickCount() - start < 2000) {
    Sleep(10);
    listing = ListStore(name);
  }
  return listing;
}
std::vector<StoredCert> ListStoreWith(const wchar_t* name, const std::wstring& subject, int count) {
  return ListStoreOnceWritten(name,
                              [&](const auto& l) { return CountSubject(l, subject) == count; });
}

constexpr wchar_t kSoftwareProvider[] = L"Microsoft Enhanced Cryptographic Provider v1.0";

std::vector<StoredCert> WithSubject(const std::wstring& subject) {
  std::vector<StoredCert> found;
  for (const auto& c : ListStore(L"MY"))
    if (c.subject == subject)
      found.push_back(c);
  return found;
}

// The certificate with its serial number's last two bytes set to n: another
// certificate to the store, with the same names.
std::string WithSerial(std::string der, int n) {
  // SEQUENCE(82 len) { SEQUENCE(82 len) { [0] version (5 bytes), INTEGER serial ...
  EXPECT_EQ(der.substr(0, 2), "\x30\x82");
  EXPECT_EQ(der.substr(4, 2), "\x30\x82");
  EXPECT_EQ(der[13], '\x02');
  const std::size_t length = static_cast<unsigned char>(der[14]);
  der[15 + length - 2] = static_cast<char>(n >> 8);
  der[15 + length - 1] = static_cast<char>(n & 0xFF);
  return der;
}

class CertStoreExports : public ::testing::Test {
 protected:
  void SetUp() override {
    dll = LoadLibraryW(PRODUCT_DIR_PATH L"CorvanexMgr.dll");
    ASSERT_NE(dll, nullptr);
#define CMGR_RESOLVE(name, params) \
  name = reinterpret_cast<cmgr::name##_fn>(reinterpret_cast<void*>(GetProcAddress(dll, #name)));
    CMGR_RESOLVE(helper_get_cert_info2, _)
    CMGR_RESOLVE(container_addcert_to_store, _)
    CMGR_RESOLVE(helper_add_root_cert_to_store, _)
    CMGR_RESOLVE(remove_all_certs_from_store, _)
    CMGR_RESOLVE(remove_marked_certs_from_store, _)
    CMGR_RESOLVE(uninit_pkcs11, _)
#undef CMGR_RESOLVE
    Clean();
  }
  void TearDown() override {
    Clean();
    FreeLibrary(dll);
  }
  void Clean() {
    remove_all_certs_from_store("Test CSP A");
    remove_all_certs_from_store("Test CSP B");
    DeleteSubjectFromStore(L"MY", L"Store Test User");
    DeleteSubjectFromStore(L"MY", L"Store Test Other");
  }
  int32_t Add(const std::string& der, const char* container, const char* provider) {
    return container_addcert_to_store(container, provider, 1, Bytes(der),
                                      static_cast<int32_t>(der.size()));
  }
  // What the monitor does at an unplug and at its end.
  void UnplugAndShutDown(const char* provider) {
    EXPECT_EQ(remove_all_certs_from_store(provider), 0);
    EXPECT_EQ(remove_all_certs_from_store(provider), 0);
    uninit_pkcs11();
  }
  HMODULE dll = nullptr;
  cmgr::helper_get_cert_info2_fn helper_get_cert_info2 = nullptr;
  cmgr::container_addcert_to_store_fn container_addcert_to_store = nullptr;
  cmgr::helper_add_root_cert_to_store_fn helper_add_root_cert_to_store = nullptr;
  cmgr::remove_all_certs_from_store_fn remove_all_certs_from_store = nullptr;
  cmgr::remove_marked_certs_from_store_fn remove_marked_certs_from_store = nullptr;
  cmgr::uninit_pkcs11_fn uninit_pkcs11 = nullptr;
};

}  // namespace

TEST_F(CertStoreExports, DecodesNamesDatesAndKind) {
  char16_t subject[257], issuer[257];
  char serial[257];
  int32_t version = 0, kind = -1, notBefore[9], notAfter[9];
  const std::string user = TestCertificate("user");
  ASSERT_EQ(helper_get_cert_info2(Bytes(user), static_cast<int32_t>(user.size()), subject, issuer,
                                  &version, serial, notBefore, notAfter, &kind),
            0);
  EXPECT_EQ(std::u16string(subject), u"Store Test User");
  EXPECT_EQ(std::u16string(issuer), u"Store Test Intermediate");
  EXPECT_EQ(version, 3);
  EXPECT_EQ(kind, 0);
  EXPECT_GT(std::string(serial).size(), 0u);
  EXPECT_GE(notBefore[0], 2026);
  EXPECT_EQ(notAfter[0] - notBefore[0], 20);  // 7300 days
  EXPECT_TRUE(notAfter[1] >= 1 && notAfter[1] <= 12);

  const std::string root = TestCertificate("root"), inter = TestCertificate("inter");
  helper_get_cert_info2(Bytes(root), static_cast<int32_t>(root.size()), subject, issuer, &version,
                        serial, notBefore, notAfter, &kind);
  EXPECT_EQ(kind, 1);
  helper_get_cert_info2(Bytes(inter), static_cast<int32_t>(inter.size()), subject, issuer, &version,
                        serial, notBefore, notAfter, &kind);
  EXPECT_EQ(kind, 2);
}

// Expiry is read on the local calendar: in UTC+8 a certificate ending at
// 20:00Z on the 9th ends on the 10th.
TEST(CertificateDates, AreOnTheLocalCalendar) {
  SYSTEMTIME utc{};
  utc.wYear = 2026, utc.wMonth = 12, utc.wDay = 9, utc.wHour = 20;
  FILETIME when{};
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &when));
  TIME_ZONE_INFORMATION china{};
  china.Bias = -480;
  int32_t block[9] = {};
  tokenlib::LocalDateBlock(when, &china, block);
  EXPECT_EQ(block[0], 2026);
  EXPECT_EQ(block[1], 12);
  EXPECT_EQ(block[2], 10);
  EXPECT_EQ(block[3], 4);
  TIME_ZONE_INFORMATION newYork{};
  newYork.Bias = 300;
  tokenlib::LocalDateBlock(when, &newYork, block);
  EXPECT_EQ(block[2], 9);
  EXPECT_EQ(block[3], 15);
}

TEST_F(CertStoreExports, GarbageIsAStatusNotACrash) {
  char16_t subject[257], issuer[257];
  char serial[257];
  int32_t version, kind, notBefore[9], notAfter[9];
  const std::string garbage = "\x30\x82\xff\xff not a certificate";
  EXPECT_NE(helper_get_cert_info2(Bytes(garbage), static_cast<int32_t>(garbage.size()), subject,
                                  issuer, &version, serial, notBefore, notAfter, &kind),
            0);
  EXPECT_NE(helper_get_cert_info2(nullptr, 0, subject, issuer, &version, serial, notBefore,
                                  notAfter, &kind),
            0);
  const std::string user = TestCertificate("user");
  EXPECT_NE(container_addcert_to_store("c", "Test CSP A", 1, Bytes(user), 10), 0);
}

TEST_F(CertStoreExports, UserCertificateIsLinkedToContainerAndProvider) {
  const std::string user = TestCertificate("user");
  ASSERT_EQ(container_addcert_to_store("Alice's container", "Test CSP A", 2, Bytes(user),
                                       static_cast<int32_t>(user.size())),
            0);
  ASSERT_EQ(container_addcert_to_store("Alice's container", "Test CSP A", 1, Bytes(user),
                                       static_cast<int32_t>(user.size())),
            0);  // again: replaces, no second copy
  const auto my = ListStoreWith(L"MY", L"Store Test User", 1);
  ASSERT_EQ(CountSubject(my, L"Store Test User"), 1);
  for (const auto& c : my) {
    if (c.subject != L"Store Test User")
      continue;
    EXPECT_EQ(c.container, L"Alice's container");
    EXPECT_EQ(c.provider, L"Test CSP A");
    EXPECT_EQ(c.keySpec, 1u);
  }
}

TEST_F(CertStoreExports, CaCertificatesGoToRootAndCa) {
  const std::string root = TestCertificate("root"), inter = TestCertificate("inter");
  EXPECT_EQ(helper_add_root_cert_to_store(u"ROOT", Bytes(root), static_cast<int32_t>(root.size())),
            0);
  EXPECT_EQ(helper_add_root_cert_to_store(u"CA", Bytes(inter), static_cast<int32_t>(inter.size())),
            0);
  EXPECT_EQ(CountSubject(ListStoreWith(L"ROOT", L"Store Test Root", 1), L"Store Test Root"), 1);
  EXPECT_EQ(
      CountSubject(ListStoreWith(L"CA", L"Store Test Intermediate", 1), L"Store Test Intermediate"),
      1);
  EXPECT_EQ(CountSubject(ListStore(L"MY"), L"Store Test Root"), 0);
}

TEST_F(CertStoreExports, RemovalTakesOnlyThatProvidersCertificates) {
  const std::string user = TestCertificate("user"), other = TestCertificate("user2");
  ASSERT_EQ(container_addcert_to_store("a", "Test CSP A", 1, Bytes(user),
                                       static_cast<int32_t>(user.size())),
            0);
  ASSERT_EQ(container_addcert_to_store("b", "Test CSP B", 1, Bytes(other),
                                       static_cast<int32_t>(other.size())),
            0);
  EXPECT_EQ(remove_all_certs_from_store("Test CSP A"), 0);
  const auto my = ListStore(L"MY");
  EXPECT_EQ(CountSubject(my, L"Store Test User"), 0);
  EXPECT_EQ(CountSubject(my, L"Store Test Other"), 1);
  EXPECT_EQ(remove_all_certs_from_store("No Such CSP"), 0);
}

TEST_F(CertStoreExports, AnotherCardsCertificateWithTheSameProviderNameSurvives) {
  const std::string user = TestCertificate("user"), other = TestCertificate("user2");
  ASSERT_TRUE(ImportToMy(other, L"Test CSP A", L"other card"));
  ASSERT_EQ(Add(user, "ours", "Test CSP A"), 0);
  UnplugAndShutDown("Test CSP A");
  EXPECT_TRUE(WithSubject(L"Store Test User").empty());
  const auto kept = WithSubject(L"Store Test Other");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].container, L"other card");
}

TEST_F(CertStoreExports, ACopyImportedWithASoftwareKeyKeepsItsLink) {
  const std::string user = TestCertificate("user");
  ASSERT_TRUE(ImportToMy(user, kSoftwareProvider, L"pfx key"));
  EXPECT_EQ(Add(user, "ours", "Test CSP A"), 0);  // the certificate is in the store
  auto copies = WithSubject(L"Store Test User");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].provider, kSoftwareProvider);
  UnplugAndShutDown("Test CSP A");
  copies = WithSubject(L"Store Test User");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].provider, kSoftwareProvider);
  EXPECT_EQ(copies[0].container, L"pfx key");
}

TEST_F(CertStoreExports, AnUnmarkedCopyLinkedToOurProviderIsTheUsersAndStays) {
  // Registered by Windows for this card, or imported by the user, under the
  // very provider name we register with.
  const std::string user = TestCertificate("user");
  ASSERT_TRUE(ImportToMy(user, L"Test CSP A", L"the user's key"));
  EXPECT_EQ(Add(user, "ours", "Test CSP A"), 0);
  uninit_pkcs11();
  auto copies = WithSubject(L"Store Test User");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].container, L"the user's key");
  UnplugAndShutDown("Test CSP A");
  EXPECT_EQ(remove_marked_certs_from_store(), 0);
  copies = WithSubject(L"Store Test User");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].container, L"the user's key");
}

TEST_F(CertStoreExports, WhatARunThatNeverEndedLeftIsOursWhateverItsProvider) {
  const std::string user = TestCertificate("user"), other = TestCertificate("user2");
  ASSERT_TRUE(ImportToMy(WithSerial(user, 7), L"Test CSP A", L"the user's key"));
  ASSERT_EQ(Add(user, "run 1", "Test CSP A"), 0);
  ASSERT_EQ(Add(other, "run 1", "Test CSP B"), 0);  // the provider of that day
  uninit_pkcs11();  // the process is gone; the next one knows only the store
  ASSERT_EQ(WithSubject(L"Store Test User").size(), 2u);
  EXPECT_EQ(remove_marked_certs_from_store(), 0);
  EXPECT_EQ(WithSubject(L"Store Test Other").size(), 0u);
  const auto left = WithSubject(L"Store Test User");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].container, L"the user's key");

  // A copy of ours linked to another provider is replaced by today's.
  ASSERT_EQ(Add(other, "run 1", "Test CSP B"), 0);
  ASSERT_EQ(Add(other, "run 2", "Test CSP A"), 0);
  uninit_pkcs11();
  const auto mine = WithSubject(L"Store Test Other");
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].provider, L"Test CSP A");
}

TEST_F(CertStoreExports, TheMarkOfEarlierVersionsIsStillOurs) {
  ASSERT_TRUE(ImportToMy(TestCertificate("user"), L"Veltrox Pelkin V9Arc CSP V1.1",
                         L"left by 1.0.0.1", L"Registered from a USB token by CorvanexE"));
  EXPECT_EQ(remove_marked_certs_from_store(), 0);
  EXPECT_TRUE(WithSubject(L"Store Test User").empty());
}

TEST_F(CertStoreExports, ShortContainerAndProviderNamesKeepTheirCertificates) {
  // Each length of container name beside a short provider name: Wine's
  // crypt32 once overran its heap on some of them and lost the certificate.
  const std::string user = TestCertificate("user");
  for (int n = 1; n <= 16; ++n)
    ASSERT_EQ(Add(WithSerial(user, n), std::string(n, 'c').c_str(), "CSP"), 0) << n;
  uninit_pkcs11();
  EXPECT_EQ(WithSubject(L"Store Test User").size(), 16u);
  EXPECT_EQ(remove_all_certs_from_store("CSP"), 0);
  EXPECT_TRUE(WithSubject(L"Store Test User").empty());
}

TEST_F(CertStoreExports, ABlankProviderNameIsRefusedAndDeletesNothing) {
  ASSERT_TRUE(ImportToMy(TestCertificate("user2"), L"", L""));
  EXPECT_EQ(remove_all_certs_from_store(""), cmgr::kArgumentsBad);
  EXPECT_EQ(remove_all_certs_from_store("  "), cmgr::kArgumentsBad);
  EXPECT_EQ(remove_all_certs_from_store(nullptr), cmgr::kArgumentsBad);
  EXPECT_EQ(WithSubject(L"Store Test Other").size(), 1u);
  EXPECT_EQ(Add(TestCertificate("user"), "ours", ""), cmgr::kArgumentsBad);
}

TEST_F(CertStoreExports, TwoHundredOfOursAreAllRemovedAfterARestart) {
  const std::string user = TestCertificate("user");
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(Add(WithSerial(user, i), ("c" + std::to_string(i)).c_str(), "Test CSP A"), 0) << i;
  ASSERT_EQ(CountSubject(ListStoreWith(L"MY", L"Store Test User", 200), L"Store Test User"), 200);
  uninit_pkcs11();  // the mark is read back from the store, not remembered
  EXPECT_EQ(remove_all_certs_from_store("Test CSP A"), 0);
  EXPECT_TRUE(WithSubject(L"Store Test User").empty());
}
