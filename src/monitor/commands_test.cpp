#include "monitor/commands.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A message as another program sends it: UTF-16LE with its NUL, cbData
// counting the NUL.
std::string Payload(const std::wstring& text, bool withNul = true) {
  std::string bytes;
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  if (withNul)
    bytes += std::string(2, '\0');
  return bytes;
}

class CopyDataTest : public ::testing::Test {
 protected:
  CopyDataRequest Command(const std::wstring& text, std::uintptr_t dwData = 0) {
    const std::string bytes = Payload(text);
    return DecodeCopyData(dwData, bytes.data(), bytes.size(), strings);
  }
  CopyDataRequest Status(const std::wstring& text) { return Command(text, 1); }
  TResStrs strings;
};

}  // namespace

TEST_F(CopyDataTest, CommandsMatchWholeWordsWithoutRegardToAsciiCase) {
  EXPECT_EQ(Command(L"RegCert").kind, CopyDataRequest::kRegisterAgain);
  EXPECT_EQ(Command(L"regcert").kind, CopyDataRequest::kRegisterAgain);
  EXPECT_EQ(Command(L"REGCERT", 7).kind, CopyDataRequest::kRegisterAgain);  // any value but 1
  EXPECT_EQ(Command(L"Update").kind, CopyDataRequest::kLeaveUpdatesToManager);
  EXPECT_EQ(Command(L"uPDATE").kind, CopyDataRequest::kLeaveUpdatesToManager);
  for (const wchar_t* other : {L" RegCert", L"RegCert1", L"Reg", L"RegCert\x0130", L"Updates"}) {
    const CopyDataRequest r = Command(other);
    EXPECT_EQ(r.kind, CopyDataRequest::kShowBalloon) << other;
    EXPECT_EQ(r.text, other);  // letters as they arrived
  }
  // A status key as a command is just a text.
  EXPECT_EQ(Command(L"IDS_STRING_UKEY_MESSAGE_SIGNOK").text, L"IDS_STRING_UKEY_MESSAGE_SIGNOK");
}

TEST_F(CopyDataTest, StatusTextsTakeTheMessageOfTheFirstKeyTheyHold) {
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_GENKEYFAIL").text, L"Failed to generate key pair");
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_GENKEY").text, L"Generating key pair, please wait...");
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_CERTWRITEOK").text,
            L"Certificate is saved successfully");
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_CERTWRITE").text,
            L"Saving certificate, please wait...");
  EXPECT_EQ(Status(L"now IDS_STRING_UKEY_MESSAGE_SIGNOK, thanks").text, L"Done");
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_USRLOGIN").text, L"");
  EXPECT_EQ(Status(L"ids_string_ukey_message_signok").text, L"ids_string_ukey_message_signok");
  const CopyDataRequest regCert = Status(L"RegCert");
  EXPECT_EQ(regCert.kind, CopyDataRequest::kShowBalloon);
  EXPECT_EQ(regCert.text, L"RegCert");
  // A language file's message is the one shown.
  strings.IDS_STRING_UKEY_MESSAGE_SIGNOK = L"完成";
  EXPECT_EQ(Status(L"IDS_STRING_UKEY_MESSAGE_SIGNOK").text, L"完成");
}

TEST_F(CopyDataTest, BufferIsReadOnlyWithinItsSizeAndUpToItsNul) {
  for (std::uintptr_t mode : {0u, 1u}) {
    EXPECT_EQ(DecodeCopyData(mode, nullptr, 4096, strings).text, L"");  // no buffer at all
    const std::string empty = Payload(L"");
    EXPECT_EQ(DecodeCopyData(mode, empty.data(), empty.size(), strings).text, L"");
    EXPECT_EQ(DecodeCopyData(mode, empty.data(), 0, strings).kind, CopyDataRequest::kShowBalloon);
  }
  // No NUL within cbData: cbData / 2 characters, nothing behind them read.
  const std::string noNul = Payload(L"RegCertXYZ", false);
  EXPECT_EQ(DecodeCopyData(0, noNul.data(), 14, strings).kind, CopyDataRequest::kRegisterAgain);
  // An odd cbData drops the half character.
  EXPECT_EQ(DecodeCopyData(0, noNul.data(), 15, strings).kind, CopyDataRequest::kRegisterAgain);
  EXPECT_EQ(DecodeCopyData(0, noNul.data(), 13, strings).text, L"RegCer");
  // Text after the NUL is not part of it.
  const std::string tail = Payload(L"Update") + Payload(L"junk");
  EXPECT_EQ(DecodeCopyData(0, tail.data(), tail.size(), strings).kind,
            CopyDataRequest::kLeaveUpdatesToManager);
  // Any byte offset: the sender's buffer need not be aligned.
  const std::string shifted = "x" + Payload(L"RegCert");
  EXPECT_EQ(DecodeCopyData(0, shifted.data() + 1, shifted.size() - 1, strings).kind,
            CopyDataRequest::kRegisterAgain);
}

// Larger than any command or status text: refused whatever it holds, even a
// command word before its NUL, so a 2 MB message changes nothing.
TEST_F(CopyDataTest, AnOversizedMessageIsRefusedWhateverItHolds) {
  for (std::uintptr_t dwData : {0u, 1u}) {
    std::string bytes = Payload(L"RegCert");
    bytes.resize(kMaxCopyDataBytes, ' ');
    EXPECT_NE(DecodeCopyData(dwData, bytes.data(), bytes.size(), strings).kind,
              CopyDataRequest::kRefused);
    bytes += ' ';
    EXPECT_EQ(DecodeCopyData(dwData, bytes.data(), bytes.size(), strings).kind,
              CopyDataRequest::kRefused);
  }
}

// What is not ours to word is the sender's: at most 200 characters, and at
// most one such balloon every two seconds; our own messages are neither.
TEST_F(CopyDataTest, ASendersOwnTextIsShortenedAndSpacedOut) {
  const std::wstring longText(5000, L'x');
  for (const CopyDataRequest& r : {Status(longText), Command(longText)}) {
    EXPECT_TRUE(r.sendersOwnText);
    EXPECT_EQ(r.text, std::wstring(kMaxSendersTextChars, L'x'));
  }
  EXPECT_FALSE(Status(L"IDS_STRING_UKEY_MESSAGE_SIGNOK").sendersOwnText);
  EXPECT_FALSE(Status(L"").sendersOwnText);  // taking the balloon down
  EXPECT_FALSE(Command(L"RegCert").sendersOwnText);

  SendersTextSpacing spacing;
  const struct {
    std::uint64_t at;
    bool shown;
  } arrivals[] = {{10000, true}, {10001, false}, {11999, false},
                  {12000, true}, {13000, false}, {20000, true}};
  for (const auto& a : arrivals)
    EXPECT_EQ(spacing.Take(a.at), a.shown) << a.at;
}
