#include "token/token_operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_token_library.h"

using ::testing::ElementsAre;

TEST(FindAndConnectTokens, NoTokenOrFailureGivesCountZeroAndStatusOne) {
  FakeTokenLibrary lib;  // no tokens
  std::int32_t count = 7;
  EXPECT_EQ(FindAndConnectTokens(lib, count), 1);
  EXPECT_EQ(count, 0);

  lib.tokens.resize(2);
  lib.findStatus = 0x30;
  count = 7;
  EXPECT_EQ(FindAndConnectTokens(lib, count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(lib.CallsNamed("token_connect").empty());
}

TEST(FindAndConnectTokens, ConnectsEveryIndexAndReturnsTheLastStatus) {
  FakeTokenLibrary lib;
  lib.tokens.resize(3);
  lib.tokens[0].connectStatus = 0x30;
  std::int32_t count = 0;
  EXPECT_EQ(FindAndConnectTokens(lib, count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_THAT(lib.CallsNamed("token_connect"),
              ElementsAre("token_connect(0)", "token_connect(1)", "token_connect(2)"));

  lib.calls.clear();
  lib.tokens[2].connectStatus = 0xE0;
  EXPECT_EQ(FindAndConnectTokens(lib, count), 0xE0);
}

TEST(FindAndConnectTokens, ALibraryReportingTooManyTokensIsClamped) {
  FakeTokenLibrary lib;
  lib.tokens.resize(20);
  lib.reportedTokenCount = 200;
  std::int32_t count = 0;
  FindAndConnectTokens(lib, count);
  EXPECT_EQ(count, kTokenTableSize);
  EXPECT_EQ(lib.CallsNamed("token_connect").size(), 17u);
}

TEST(LoadContainerNames, SplitsAtNulsAndSkipsEmptyPieces) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  lib.tokens[0].containerList = std::string("A B\0C\0\0", 7);
  TV9Info info;
  ASSERT_EQ(LoadContainerNames(lib, 0, info), 0);
  EXPECT_EQ(info.ContainerCount, 2);
  EXPECT_EQ(info.ContainerNames[0], "A B");
  EXPECT_EQ(info.ContainerNames[1], "C");
}

TEST(LoadContainerNames, FailureLeavesTheRecordAndHugeListsAreClamped) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  TV9Info info;
  info.ContainerCount = 1;
  info.ContainerNames[0] = "kept";
  lib.tokens[0].containerStatus = 0x82;
  EXPECT_EQ(LoadContainerNames(lib, 0, info), 0x82);
  EXPECT_EQ(info.ContainerNames[0], "kept");

  lib.tokens[0].containerStatus = 0;
  for (int i = 0; i < 200; ++i)
    lib.tokens[0].containerList += "c" + std::to_string(i) + '\0';
  lib.tokens[0].reportedContainerLength = 1 << 30;  // beyond the buffer
  ContainerOverflow overflow;
  ASSERT_EQ(LoadContainerNames(lib, 0, info, &overflow), 0);
  EXPECT_EQ(info.ContainerCount, kMaxContainerNames);
  EXPECT_EQ(info.ContainerNames[64], "c64");
  EXPECT_EQ(overflow.namesLeftOut, 200 - kMaxContainerNames);
  EXPECT_FALSE(overflow.listCut);
}

TEST(LoadContainerNames, AListCutAtTheBufferGivesItsWholeNames) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  lib.tokens[0].containerList = std::string("A\0B\0", 4);
  lib.tokens[0].containerListCut = true;
  TV9Info info;
  ContainerOverflow overflow;
  ASSERT_EQ(LoadContainerNames(lib, 0, info, &overflow), 0);
  EXPECT_EQ(info.ContainerCount, 2);
  EXPECT_TRUE(overflow.listCut);
  EXPECT_EQ(overflow.namesLeftOut, 0);
}

TEST(ReadContainerCertificate, FailedReadCallsNothingElse) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  TV9CertInfo cert;
  EXPECT_NE(ReadContainerCertificate(lib, 0, "A", 1, cert), 0);
  EXPECT_TRUE(lib.CallsNamed("container_get_pubkey").empty());
  EXPECT_TRUE(lib.CallsNamed("helper_get_cert_info2").empty());
}

TEST(ReadContainerCertificate, FillsTheRecordFromTheDecodedCertificate) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  FakeTokenLibrary::Cert c;
  c.der = "DER-A";
  c.subject = std::u16string(300, u'n');  // longer than the buffer, no NUL
  c.notAfter[0] = 2027;
  c.notAfter[1] = 3;
  c.notAfter[2] = 5;
  c.kind = 2;
  lib.tokens[0].containerCerts[{"A", 1}] = c;
  TV9CertInfo cert;
  ASSERT_EQ(ReadContainerCertificate(lib, 0, "A", 1, cert), 0);
  EXPECT_THAT(lib.calls, ElementsAre("container_get_cert(0,A,1)", "container_get_pubkey(0,A,1)",
                                     "helper_get_cert_info2(DER-A)"));
  EXPECT_EQ(cert.CertLen, 5);
  EXPECT_EQ(cert.SubjectName.size(), 257u);
  EXPECT_EQ(cert.NotAfterText, L"2027-03-05");
  EXPECT_EQ(cert.NotBeforeText, L"2024-01-01");
  EXPECT_EQ(cert.NotAfter[0], 2027);
  EXPECT_EQ(cert.SerialNumber, "01AB");
  EXPECT_EQ(cert.Kind, cmgr::kIntermediateCertificate);
}

TEST(ReadStandaloneCertificate, UsesTheHandleAndNoPublicKey) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  lib.tokens[0].standalone.push_back({"ROOT-DER"});
  TV9CertInfo cert;
  ASSERT_EQ(ReadStandaloneCertificate(lib, 0, 500, cert), 0);
  EXPECT_THAT(lib.calls, ElementsAre("token_get_cert(0,500)", "helper_get_cert_info2(ROOT-DER)"));
}

TEST(GetPinState, ZeroesThenAsks) {
  FakeTokenLibrary lib;
  lib.tokens.resize(1);
  lib.tokens[0].pinState[4] = 1;
  PinState state;
  state.fill(9);
  ASSERT_EQ(GetPinState(lib, 0, 1, state), 0);
  EXPECT_THAT(state, ElementsAre(0, 0, 0, 0, 1, 0));
}

TEST(InitTokenLibrary, PlainStartWhileTheExtendedTextsAreEmpty) {
  FakeTokenLibrary lib;
  lib.initStatus = 5;
  EXPECT_EQ(InitTokenLibrary(lib, L"v9arc_pkcs11.dll"), 5);
  EXPECT_THAT(lib.calls, ElementsAre("init_pkcs11(v9arc_pkcs11.dll)"));
}
