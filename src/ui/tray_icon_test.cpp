#include "ui/tray_icon.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A notification area: holds at most one icon, shows a balloon while the
// icon is there and the text is not empty.
class FakeShell : public TrayShell {
 public:
  struct Call {
    ShellCommand command;
    TrayRecord record;
  };
  bool Notify(ShellCommand command, const TrayRecord& record) override {
    calls.push_back({command, record});
    switch (command) {
      case ShellCommand::Add:
        if (present)
          return false;
        present = true;
        return true;
      case ShellCommand::Delete:
        if (!present)
          return false;
        present = false;
        balloon.clear();
        return true;
      case ShellCommand::Modify:
        if (!present)
          return false;
        tip = record.tip.data();
        if (record.flags & TrayRecord::kInfo)
          balloon = record.info.data();
        return true;
      case ShellCommand::SetVersion:
        return present;
    }
    return false;
  }
  std::vector<Call> calls;
  bool present = false;
  std::wstring tip, balloon;
};

}  // namespace

TEST(CopyCut, NeverWritesPastTheField) {
  std::array<wchar_t, 5> field;
  field.fill(L'#');
  CopyCut(field, L"abcdefgh");
  EXPECT_EQ(std::wstring(field.data()), L"abcd");
  CopyCut(field, L"x");
  EXPECT_EQ(field[1], L'\0');
  EXPECT_EQ(field[4], L'\0');
}

TEST(TrayIconState, TipIsCutTo127Characters) {
  FakeShell shell;
  TrayIconState icon(shell);
  icon.SetIconVisible(true);
  icon.SetHint(std::wstring(200, L'h'));
  EXPECT_EQ(shell.tip, std::wstring(127, L'h'));
  icon.SetShowHint(false);
  EXPECT_EQ(shell.tip, L"");
}

TEST(TrayIconState, BalloonRemovesThePreviousOneThenShows) {
  FakeShell shell;
  TrayIconState icon(shell);
  icon.SetIconVisible(true);
  shell.calls.clear();
  EXPECT_TRUE(icon.ShowBalloon(L"", L"USBKey inserted", 1, 10));
  ASSERT_EQ(shell.calls.size(), 2u);
  EXPECT_EQ(shell.calls[0].record.flags, TrayRecord::kStandardFlags | TrayRecord::kInfo);
  EXPECT_EQ(shell.calls[0].record.info[0], L'\0');  // the old balloon goes first
  EXPECT_EQ(std::wstring(shell.calls[1].record.info.data()), L"USBKey inserted");
  EXPECT_EQ(shell.calls[1].record.timeoutOrVersion, 10000u);
  EXPECT_EQ(shell.calls[1].record.infoFlags, 1u);
  EXPECT_EQ(icon.record().flags, TrayRecord::kStandardFlags);  // back to 7 after

  icon.ShowBalloon(std::wstring(100, L't'), std::wstring(300, L'b'), 4, 10);
  EXPECT_EQ(shell.balloon, std::wstring(255, L'b'));
  EXPECT_EQ(std::wstring(shell.calls.back().record.infoTitle.data()), std::wstring(63, L't'));

  icon.ShowBalloon(L"", L"", 4, 10);  // empty: the balloon goes away
  EXPECT_EQ(shell.balloon, L"");
}

TEST(TrayIconState, NoBalloonWhileTheIconIsHidden) {
  FakeShell shell;
  TrayIconState icon(shell);
  EXPECT_FALSE(icon.ShowBalloon(L"", L"USBKey removed", 1, 10));
  EXPECT_EQ(shell.balloon, L"");
}

TEST(TrayIconState, StartupAndExplorerRestart) {
  FakeShell shell;
  TrayIconState icon(shell);
  icon.SetHint(L"PKI");
  icon.Startup();
  ASSERT_GE(shell.calls.size(), 3u);
  EXPECT_EQ(shell.calls.back().command, ShellCommand::SetVersion);
  EXPECT_EQ(shell.calls.back().record.timeoutOrVersion, 0u);
  EXPECT_FALSE(shell.present);

  icon.TaskbarCreated();  // hidden: stays away
  EXPECT_FALSE(shell.present);
  icon.SetIconVisible(true);
  shell.present = false;  // Explorer restarted and lost the icon
  icon.TaskbarCreated();
  EXPECT_TRUE(shell.present);
  EXPECT_EQ(std::wstring(shell.calls.back().record.tip.data()), L"PKI");
}
