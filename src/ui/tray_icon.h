#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The shell record of the tray icon, in the program's terms. The Windows side
// copies it into NOTIFYICONDATAW field by field.
struct TrayRecord {
  static constexpr std::uint32_t kMessage = 0x1, kIcon = 0x2, kTip = 0x4, kInfo = 0x10;
  static constexpr std::uint32_t kStandardFlags = kMessage | kIcon | kTip;

  std::uint32_t flags = kStandardFlags;
  std::array<wchar_t, 128> tip{};
  std::array<wchar_t, 256> info{};
  std::array<wchar_t, 64> infoTitle{};
  std::uint32_t timeoutOrVersion = 0;
  std::uint32_t infoFlags = 0;
};

enum class ShellCommand { Add, Modify, Delete, SetVersion };

// What the tray icon needs of the shell.
class TrayShell {
 public:
  virtual ~TrayShell() = default;
  virtual bool Notify(ShellCommand command, const TrayRecord& record) = 0;
};

// Copies text into a fixed field, cut to leave room for the NUL, the rest
// zeroed: never written past the field.
void CopyCut(std::span<wchar_t> field, std::wstring_view text);

// The behaviour of the tray icon component: visibility, tip and balloons.
class TrayIconState {
 public:
  explicit TrayIconState(TrayShell& shell) : shell_(shell) {}

  bool IconVisible() const { return visible_; }
  void SetIconVisible(bool visible);
  void SetHint(std::wstring hint);
  void SetShowHint(bool show);
  // Removes the balloon that shows, then shows text (none when it is empty);
  // whether the shell took it.
  bool ShowBalloon(std::wstring_view title,
                   std::wstring_view text,
                   std::uint8_t iconKind,
                   std::uint8_t timeoutSeconds);
  bool HideBalloon();
  // After the window has loaded: refresh, apply visibility, classic messages.
  void Startup();
  // Explorer restarted: the icon comes back if it was showing.
  void TaskbarCreated();
  bool UpdateIcon();
  const TrayRecord& record() const { return record_; }

 private:
  void FillTip();
  TrayShell& shell_;
  TrayRecord record_;
  std::wstring hint_;
  bool showHint_ = true;
  bool visible_ = false;
};
