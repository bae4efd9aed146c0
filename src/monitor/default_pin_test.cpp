#include "monitor/default_pin.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include <deque>

#include "testing/fake_token_library.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

class MessagePorts : public MonitorPorts {
 public:
  std::vector<std::wstring> messages;
  void ShowMessage(const std::wstring& text, unsigned) override { messages.push_back(text); }
  void ShowBalloon(const std::wstring&, int) override {}
  void SetIconVisible(bool) override {}
  void ArmTimer(MonitorTimer) override {}
  void DisarmTimer(MonitorTimer) override {}
  void ExitProgram() override {}
  TConfigInfo ReadUserSettings() override { return {}; }
  bool ProviderKeyExists(const std::wstring&) override { return true; }
  void WriteLog(const std::wstring&) override {}
  LocalDateTime Now() override { return {}; }
  std::uint64_t Milliseconds() override { return 0; }
  void SendToManager(const std::wstring&) override {}
  void OpenWebAddress(const std::wstring&, int) override {}
  void CloseDialogsOnRemoval(std::int32_t) override {}
  void RecordEvent(MonitorEvent event, const std::vector<std::wstring>&) override {
    events.push_back(event);
  }
  std::wstring TokenText(std::string_view bytes) override {
    return std::wstring(bytes.begin(), bytes.end());
  }
  std::vector<MonitorEvent> events;
};

// Answers the prompt as scripted and each change view with the next entry
// (old PIN, new PIN), or cancels once the script is used up.
class ScriptedDialogs : public PinDialogs {
 public:
  PromptAnswer prompt;
  std::deque<std::pair<std::wstring, std::wstring>> changes;
  std::vector<std::string> shown;
  std::vector<int> saved;
  std::function<void()> whileChangeViewIsOpen;
  bool* busyFlag = nullptr;
  std::vector<bool> busyWhileShown;

  PromptAnswer ShowDefaultPinPrompt() override {
    shown.push_back("prompt");
    busyWhileShown.push_back(*busyFlag);
    return prompt;
  }
  std::optional<PinChange> ShowChangePinDialog(std::int32_t min, std::int32_t max) override {
    shown.push_back("change " + std::to_string(min) + "-" + std::to_string(max));
    if (whileChangeViewIsOpen)
      whileChangeViewIsOpen();
    if (changes.empty())
      return std::nullopt;
    auto [oldPin, newPin] = changes.front();
    changes.pop_front();
    return PinChange{PinText(std::move(oldPin)), PinText(std::move(newPin))};
  }
  void SaveSettings(const TConfigInfo& config) override { saved.push_back(config.DefaultPINMode); }
};

class DefaultPinTest : public ::testing::Test {
 protected:
  DefaultPinTest() {
    lib.tokens.resize(1);
    lib.tokens[0].pinState[5] = 1;  // still the default
    state.TokenTable[0].Properties[0] = 16;
    state.TokenTable[0].Properties[1] = 6;
    config.DefaultPINMode = 1;
    dialogs.busyFlag = &state.PinDialogBusy;
  }
  std::vector<std::string> LibraryPinCalls() const {
    std::vector<std::string> calls;
    for (const auto& c : lib.calls)
      if (c.rfind("token_get_pin_state", 0) == 0 || c.rfind("token_log", 0) == 0 ||
          c.rfind("token_change", 0) == 0)
        calls.push_back(c.substr(0, c.find('(')));
    return calls;
  }

  ProgramState state;
  FakeTokenLibrary lib;
  MessagePorts ports;
  ScriptedDialogs dialogs;
  TResStrs strings;
  TConfigInfo config;
  // The token table as the session keeps it: where a token is now.
  std::int32_t tokenCount = 1;
  DefaultPinCheck check{state,
                        lib,
                        ports,
                        dialogs,
                        strings,
                        config,
                        [this](const std::string& key) -> std::optional<std::int32_t> {
                          for (std::int32_t i = 0; i < tokenCount; ++i)
                            if (TokenKey(state.TokenTable[i]) == key)
                              return i;
                          return std::nullopt;
                        }};
  void Name(std::int32_t index, const char* label, const char* serial) {
    std::snprintf(state.TokenTable[index].Label, sizeof state.TokenTable[index].Label, "%s", label);
    std::snprintf(state.TokenTable[index].Serial, sizeof state.TokenTable[index].Serial, "%s",
                  serial);
  }
};

}  // namespace

TEST_F(DefaultPinTest, SwitchedOffAsksTheTokenNothing) {
  config.DefaultPINMode = 2;
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(lib.calls, IsEmpty());
  EXPECT_THAT(dialogs.shown, IsEmpty());
}

TEST_F(DefaultPinTest, ALockedPinOnlySaysSo) {
  lib.tokens[0].pinState[4] = 1;
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(ports.messages, ElementsAre(L"USBKey已锁死"));
  EXPECT_THAT(ports.events, ElementsAre(MonitorEvent::kPinLocked));
  EXPECT_THAT(dialogs.shown, IsEmpty());
  EXPECT_FALSE(state.PinDialogBusy);
}

TEST_F(DefaultPinTest, APinNoLongerTheDefaultAsksNothingMore) {
  lib.tokens[0].pinState[5] = 0;
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(dialogs.shown, IsEmpty());
  EXPECT_THAT(LibraryPinCalls(), ElementsAre("token_get_pin_state"));
}

TEST_F(DefaultPinTest, TheRemindBoxIsSavedOnEveryAnswer) {
  dialogs.prompt = {false, false};  // No, box unticked
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(dialogs.saved, ElementsAre(0));
  EXPECT_EQ(config.DefaultPINMode, 0);
  EXPECT_THAT(LibraryPinCalls(), ElementsAre("token_get_pin_state"));
  EXPECT_THAT(dialogs.busyWhileShown, ElementsAre(true));
  EXPECT_FALSE(state.PinDialogBusy);

  config.DefaultPINMode = 1;
  dialogs.prompt = {true, true};  // Yes, box ticked, then the change view cancelled
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(dialogs.saved, ElementsAre(0, 1));
  EXPECT_THAT(dialogs.shown, ElementsAre("prompt", "prompt", "change 6-16"));
  EXPECT_FALSE(state.PinDialogBusy);
}

TEST_F(DefaultPinTest, AGoodChangeIsReportedAndEndsTheSequence) {
  dialogs.prompt = {true, true};
  dialogs.changes = {{L"12345678", L"24681357"}};
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(ports.messages, ElementsAre(L"修改成功"));
  EXPECT_EQ(lib.tokens[0].pin, L"24681357");
  EXPECT_THAT(LibraryPinCalls(), ElementsAre("token_get_pin_state", "token_login", "token_logout",
                                             "token_change_upin"));
  EXPECT_FALSE(state.PinDialogBusy);
}

TEST_F(DefaultPinTest, AWrongOldPinShowsTheTriesAndAsksAgainUntilLocked) {
  lib.tokens[0].triesLeft = 3;
  dialogs.prompt = {true, true};
  dialogs.changes = {{L"11111111", L"24681357"},
                     {L"22222222", L"24681357"},
                     {L"33333333", L"24681357"},
                     {L"12345678", L"24681357"}};
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(ports.messages,
              ElementsAre(L"原口令不正确,您还有2次重试机会", L"原口令不正确,您还有1次重试机会",
                          L"原口令不正确,您还有0次重试机会", L"USBKey已锁死"));
  // Still the default after each wrong PIN, then locked: each look is an event.
  EXPECT_THAT(ports.events,
              ElementsAre(MonitorEvent::kPinStillDefault, MonitorEvent::kPinStillDefault,
                          MonitorEvent::kPinStillDefault, MonitorEvent::kPinLocked));
  EXPECT_THAT(dialogs.shown, ElementsAre("prompt", "change 6-16", "change 6-16", "change 6-16"));
  EXPECT_EQ(lib.tokens[0].pin, L"12345678");
  EXPECT_FALSE(state.PinDialogBusy);
}

TEST_F(DefaultPinTest, ARefusedChangeShowsItsCode) {
  lib.tokens[0].changeStatus = 160;
  dialogs.prompt = {true, true};
  dialogs.changes = {{L"12345678", L"24681357"}};
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(ports.messages, ElementsAre(L"修改失败 ErrorCode :String= 160"));
  EXPECT_THAT(dialogs.shown, ElementsAre("prompt", "change 6-16"));
  EXPECT_FALSE(state.PinDialogBusy);
}

TEST_F(DefaultPinTest, ATokenPulledOutWhileTheDialogIsOpenHearsNothing) {
  dialogs.prompt = {true, true};
  dialogs.changes = {{L"12345678", L"24681357"}};
  dialogs.whileChangeViewIsOpen = [this] { tokenCount = 0; };
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(LibraryPinCalls(), ElementsAre("token_get_pin_state"));
  EXPECT_THAT(ports.messages, IsEmpty());
  EXPECT_FALSE(state.PinDialogBusy);
}

// The dialogs run nested message loops: a second token plugged in meanwhile
// can take the first one's index. The PIN goes to the token it was asked
// for, wherever it is now, and to no other.
TEST_F(DefaultPinTest, TheTokenIsKeptByIdentityAcrossTheDialogs) {
  Name(0, "Alice", "A-1");
  dialogs.prompt = {true, true};
  dialogs.changes = {{L"12345678", L"24681357"}};
  dialogs.whileChangeViewIsOpen = [this] {
    state.TokenTable[1] = state.TokenTable[0];  // Alice moves to index 1
    Name(0, "Bob", "B-2");
    lib.tokens.insert(lib.tokens.begin(), FakeTokenLibrary::Token{});
    tokenCount = 2;
  };
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(lib.calls, Contains("token_login(1)"));
  EXPECT_THAT(lib.calls, Contains("token_change_upin(1)"));
  EXPECT_THAT(lib.calls, Not(Contains("token_login(0)")));
  EXPECT_THAT(lib.calls, Not(Contains("token_change_upin(0)")));

  // Swapped for another token at the same index: nothing is sent at all.
  lib.calls.clear();
  ports.messages.clear();
  lib.tokens.erase(lib.tokens.begin());
  lib.tokens[0].pinState[5] = 1;
  tokenCount = 1;
  Name(0, "Alice", "A-1");
  dialogs.changes = {{L"24681357", L"11223344"}};
  dialogs.whileChangeViewIsOpen = [this] { Name(0, "Carol", "C-3"); };
  check.CheckDefaultUserPin(0);
  EXPECT_THAT(LibraryPinCalls(), ElementsAre("token_get_pin_state"));
  EXPECT_THAT(ports.messages, IsEmpty());
}

TEST(PinEntry, OkNeedsFourCharactersInEachBox) {
  EXPECT_FALSE(IsPinOkEnabled(3, 4, 4));
  EXPECT_FALSE(IsPinOkEnabled(4, 4, 0));
  EXPECT_TRUE(IsPinOkEnabled(4, 4, 4));
  EXPECT_FALSE(ConfirmationEnterActsAsOk(3, 8));
  EXPECT_TRUE(ConfirmationEnterActsAsOk(4, 4));
}

TEST(PinEntry, ConfirmationFirstThenTheTokensLengthRange) {
  const TResStrs strings;
  const auto differ = CheckNewPin(L"1234567", L"1234568", 6, 16, strings);
  ASSERT_TRUE(differ);
  EXPECT_EQ(differ->text, L"新口令和确认口令必须相同！");
  EXPECT_EQ(differ->boxKind, MonitorPorts::kQuestion);
  const auto shortPin = CheckNewPin(L"12345", L"12345", 6, 16, strings);
  ASSERT_TRUE(shortPin);
  EXPECT_EQ(shortPin->text, L"用户PIN码不符合长度要求！(6--16)");
  EXPECT_EQ(shortPin->boxKind, MonitorPorts::kInformation);
  EXPECT_FALSE(CheckNewPin(std::wstring(16, L'7'), std::wstring(16, L'7'), 6, 16, strings));
  EXPECT_TRUE(CheckNewPin(std::wstring(17, L'7'), std::wstring(17, L'7'), 6, 16, strings));
}

// Modules say "unknown" for a length (0 or unavailable, read as -1): the
// message must still name a range a user can meet.
TEST(PinEntry, UnknownTokenLengthsBecomeTheDialogsOwnBounds) {
  const TResStrs strings;
  const PinLengthRange unknown = NewPinLengthRange(-1, -1);
  EXPECT_EQ(unknown.min, 4);
  EXPECT_EQ(unknown.max, 16);
  EXPECT_FALSE(CheckNewPin(L"12345678", L"12345678", unknown.min, unknown.max, strings));
  const auto longPin = CheckNewPin(std::wstring(17, L'7'), std::wstring(17, L'7'), unknown.min,
                                   unknown.max, strings);
  ASSERT_TRUE(longPin);
  EXPECT_EQ(longPin->text, L"用户PIN码不符合长度要求！(4--16)");
  EXPECT_EQ(NewPinLengthRange(0, 0).max, 16);
  EXPECT_EQ(NewPinLengthRange(6, 12).min, 6);
  EXPECT_EQ(NewPinLengthRange(6, 12).max, 12);
}

TEST(PinText, NoCopyOfThePinOutlivesItsUse) {
  // A PIN short enough to live inside the string object itself, whose
  // characters a move would copy and leave behind.
  std::wstring typed = L"2468";
  const wchar_t* inside = typed.data();
  {
    PinText pin(std::move(typed));
    EXPECT_EQ(pin.text(), L"2468");
    EXPECT_EQ(std::wstring_view(inside, 4), std::wstring_view(L"\0\0\0\0", 4));
    PinText moved(std::move(pin));
    EXPECT_EQ(moved.text(), L"2468");
    EXPECT_EQ(pin.text().find_first_not_of(L'\0'), std::wstring::npos);
  }
}
