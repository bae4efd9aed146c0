#include "ui/tray_icon.h"

#include <algorithm>

void CopyCut(std::span<wchar_t> field, std::wstring_view text) {
  std::fill(field.begin(), field.end(), L'\0');
  if (field.empty())
    return;
  const std::size_t n = std::min(text.size(), field.size() - 1);
  std::copy_n(text.begin(), n, field.begin());
}

void TrayIconState::FillTip() {
  if (showHint_ && !hint_.empty())
    CopyCut(record_.tip, hint_);
  else
    record_.tip.fill(L'\0');
}

bool TrayIconState::UpdateIcon() {
  FillTip();
  return shell_.Notify(ShellCommand::Modify, record_);
}

void TrayIconState::SetIconVisible(bool visible) {
  visible_ = visible;  // remembered even when the shell refuses
  FillTip();
  shell_.Notify(visible ? ShellCommand::Add : ShellCommand::Delete, record_);
}

void TrayIconState::SetHint(std::wstring hint) {
  hint_ = std::move(hint);
  UpdateIcon();
}

void TrayIconState::SetShowHint(bool show) {
  showHint_ = show;
  UpdateIcon();
}

bool TrayIconState::HideBalloon() {
  record_.flags |= TrayRecord::kInfo;
  record_.info.fill(L'\0');
  const bool ok = UpdateIcon();
  record_.flags = TrayRecord::kStandardFlags;
  return ok;
}

bool TrayIconState::ShowBalloon(std::wstring_view title,
                                std::wstring_view text,
                                std::uint8_t iconKind,
                                std::uint8_t timeoutSeconds) {
  HideBalloon();
  record_.flags |= TrayRecord::kInfo;
  CopyCut(record_.info, text);
  CopyCut(record_.infoTitle, title);
  record_.timeoutOrVersion = static_cast<std::uint32_t>(timeoutSeconds) * 1000;
  record_.infoFlags = iconKind;
  const bool ok = UpdateIcon();
  record_.flags = TrayRecord::kStandardFlags;
  return ok;
}

void TrayIconState::Startup() {
  UpdateIcon();
  SetIconVisible(visible_);
  record_.timeoutOrVersion = 0;
  shell_.Notify(ShellCommand::SetVersion, record_);
}

void TrayIconState::TaskbarCreated() {
  if (visible_) {
    FillTip();
    shell_.Notify(ShellCommand::Add, record_);
  }
}
