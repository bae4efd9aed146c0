// The virtual token through OpenSC's pkcs11-tool, as a third-party peer sees it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "ini_file.h"

namespace {

std::string g_dir;

struct Result {
  int status;
  std::string output;
};

Result Pkcs11Tool(const std::string& args) {
  const std::string cmd = "VTOKEN_CONFIG=" + g_dir + "/vtoken.ini pkcs11-tool --module " +
                          VTOKEN_MODULE_PATH + " " + args + " 2>&1";
  Result r{0, ""};
  FILE* pipe = popen(cmd.c_str(), "r");
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
    r.output.append(buffer.data(), n);
  r.status = pclose(pipe);
  return r;
}

void Plug(const std::string& slot0, const std::string& slot1) {
  std::ofstream(g_dir + "/vtoken.ini")
      << "[slots]\ncount=2\nslot0=" << slot0 << "\nslot1=" << slot1 << "\n";
}

IniFile AliceState() {
  return IniFile::Load(g_dir + "/tokens/alice/token.ini");
}

class VirtualTokenWithPkcs11Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vtoken-test-XXXXXX";
    g_dir = mkdtemp(tmpl);
    ASSERT_EQ(std::system((std::string(VTOKEN_DEMO_SCRIPT " ") + g_dir).c_str()), 0);
    Plug("tokens/alice", "tokens/bob");
  }
  void TearDown() override { std::system(("rm -rf " + g_dir).c_str()); }
};

}  // namespace

TEST_F(VirtualTokenWithPkcs11Tool, ListsSlotsAndObjects) {
  const Result slots = Pkcs11Tool("-L");
  ASSERT_EQ(slots.status, 0) << slots.output;
  EXPECT_NE(slots.output.find("token label        : Alice"), std::string::npos) << slots.output;
  EXPECT_NE(slots.output.find("token label        : Bob"), std::string::npos);
  EXPECT_NE(slots.output.find("user PIN to be changed"), std::string::npos);

  const Result objects = Pkcs11Tool("--slot 0 -O");
  ASSERT_EQ(objects.status, 0) << objects.output;
  // Public keys allow both uses, as many modules make them.
  EXPECT_NE(objects.output.find("Usage:      encrypt, verify, wrap"), std::string::npos)
      << objects.output;
  EXPECT_NE(objects.output.find("label:      Alice-Keys"), std::string::npos);
  EXPECT_NE(objects.output.find("label:      root"), std::string::npos);

  Plug("", "tokens/bob");  // pulled out: seen at once
  const Result after = Pkcs11Tool("-L");
  EXPECT_EQ(after.output.find("Alice"), std::string::npos) << after.output;
  EXPECT_NE(after.output.find("(empty)"), std::string::npos) << after.output;
}

TEST_F(VirtualTokenWithPkcs11Tool, LogsInAndChangesThePin) {
  EXPECT_EQ(Pkcs11Tool("--slot 0 --login --pin 12345678 -O").status, 0);
  const Result change =
      Pkcs11Tool("--slot 0 --login --pin 12345678 --change-pin --new-pin 87654321");
  ASSERT_EQ(change.status, 0) << change.output;
  EXPECT_EQ(AliceState().Get("token", "userPin"), "87654321");
  EXPECT_EQ(AliceState().Get("token", "pinIsDefault"), "0");
  EXPECT_EQ(Pkcs11Tool("--slot 0 --login --pin 87654321 -O").status, 0);
  EXPECT_NE(Pkcs11Tool("-L").output.find(
                "token flags        : login required, token initialized, PIN initialized\n"),
            std::string::npos);
}

TEST_F(VirtualTokenWithPkcs11Tool, ThreeWrongPinsLockTheToken) {
  IniFile state = AliceState();
  state.Set("token", "maxTries", "3");
  state.Set("token", "triesLeft", "3");
  ASSERT_TRUE(state.Save(g_dir + "/tokens/alice/token.ini"));

  EXPECT_NE(Pkcs11Tool("--slot 0 --login --pin 00000000 -O").status, 0);
  EXPECT_EQ(AliceState().Get("token", "triesLeft"), "2");
  // A correct PIN resets the count.
  EXPECT_EQ(Pkcs11Tool("--slot 0 --login --pin 12345678 -O").status, 0);
  EXPECT_EQ(AliceState().Get("token", "triesLeft"), "3");
  for (int i = 0; i < 3; ++i)
    Pkcs11Tool("--slot 0 --login --pin 00000000 -O");
  EXPECT_EQ(AliceState().Get("token", "triesLeft"), "0");
  const Result locked = Pkcs11Tool("--slot 0 --login --pin 12345678 -O");
  EXPECT_NE(locked.status, 0);
  EXPECT_NE(locked.output.find("CKR_PIN_LOCKED"), std::string::npos) << locked.output;
}

TEST_F(VirtualTokenWithPkcs11Tool, AFolderWhereAFileShouldBeIsAnErrorNeverAnAbort) {
  // A certificate entry naming a folder: that certificate is left out.
  IniFile alice = AliceState();
  alice.Set("container:Alice-Keys", "exchange", "afolder");
  ASSERT_TRUE(alice.Save(g_dir + "/tokens/alice/token.ini"));
  ASSERT_EQ(std::system(("mkdir " + g_dir + "/tokens/alice/afolder").c_str()), 0);
  const Result objects = Pkcs11Tool("-O");
  EXPECT_EQ(objects.status, 0) << objects.output;
  std::size_t certificates = 0;
  for (std::size_t at = 0;
       (at = objects.output.find("Certificate Object", at)) != std::string::npos; ++at)
    ++certificates;
  EXPECT_EQ(certificates, 5u) << objects.output;

  // A token whose state file is a folder answers with an error.
  ASSERT_EQ(std::system(("rm " + g_dir + "/tokens/bob/token.ini && mkdir " + g_dir +
                         "/tokens/bob/token.ini")
                            .c_str()),
            0);
  const Result slots = Pkcs11Tool("-L");
  EXPECT_FALSE(WIFSIGNALED(slots.status)) << slots.output;
  EXPECT_NE(slots.output.find("CKR_GENERAL_ERROR"), std::string::npos) << slots.output;
  EXPECT_NE(slots.output.find("token label        : Alice"), std::string::npos) << slots.output;
}

// The private keys sign and decrypt for any client: what pkcs11-tool signs,
// openssl verifies against the certificate, and what openssl enveloped to
// the certificate, the token opens.
TEST_F(VirtualTokenWithPkcs11Tool, PrivateKeysSignAndDecrypt) {
  const std::string ca = g_dir + "/ca/", in = g_dir + "/in.bin", out = g_dir + "/out.bin";
  std::ofstream(in, std::ios::binary) << "a DigestInfo stands here";
  const std::string aliceSoon = "--slot 0 --login --pin 12345678 --id 416c6963652d536f6f6e ";
  const Result signed_ =
      Pkcs11Tool(aliceSoon + "--sign -m RSA-PKCS --input-file " + in + " --output-file " + out);
  ASSERT_EQ(signed_.status, 0) << signed_.output;
  const auto verify = [&] {
    return std::system(("openssl x509 -in " + ca + "alice-soon.pem -pubkey -noout > " + g_dir +
                        "/pub.pem && openssl pkeyutl -verify -pubin -inkey " + g_dir +
                        "/pub.pem -in " + in + " -sigfile " + out + " >/dev/null 2>&1")
                           .c_str()) == 0;
  };
  EXPECT_TRUE(verify());
  std::fstream signature(out, std::ios::in | std::ios::out | std::ios::binary);
  const char byte = static_cast<char>(signature.seekg(17).get());
  signature.seekp(17).put(static_cast<char>(byte ^ 1));
  signature.close();
  EXPECT_FALSE(verify());

  ASSERT_EQ(std::system(("openssl x509 -in " + ca + "bob.pem -pubkey -noout > " + g_dir +
                         "/bob.pem && openssl pkeyutl -encrypt -pubin -inkey " + g_dir +
                         "/bob.pem -in " + in + " -out " + out)
                            .c_str()),
            0);
  const std::string bob = "--slot 1 --login --pin 24681357 --id 426f62 ";
  const Result opened =
      Pkcs11Tool(bob + "--decrypt -m RSA-PKCS --input-file " + out + " --output-file " + in + "2");
  ASSERT_EQ(opened.status, 0) << opened.output;
  std::ifstream plain(in + "2", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plain), {}), "a DigestInfo stands here");

  // A signature key decrypts nothing; without login no private key is seen.
  EXPECT_NE(Pkcs11Tool(aliceSoon + "--decrypt -m RSA-PKCS --input-file " + out).status, 0);
  EXPECT_NE(
      Pkcs11Tool("--slot 0 --id 416c6963652d536f6f6e --sign -m RSA-PKCS --input-file " + in).status,
      0);
}
