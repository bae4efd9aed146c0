#include "monitor/default_pin.h"

#include <algorithm>

#include "i18n/safe_format.h"
#include "token/token_operations.h"

namespace {

constexpr std::int32_t kUserPin = 1;
constexpr std::size_t kPinOkThreshold = 4;

void Wipe(std::wstring& text) {
  volatile wchar_t* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i)
    p[i] = 0;
  text.clear();
}

}  // namespace

PinText::PinText(std::wstring&& text) : text_(text) {
  Wipe(text);
}

PinText::~PinText() {
  Wipe(text_);
}

PinText::PinText(PinText&& other) noexcept : text_(other.text_) {
  Wipe(other.text_);
}

PinText& PinText::operator=(PinText&& other) noexcept {
  if (this != &other) {
    Wipe(text_);
    text_ = other.text_;
    Wipe(other.text_);
  }
  return *this;
}

std::optional<PinEntryProblem> CheckNewPin(const std::wstring& newPin,
                                           const std::wstring& confirmation,
                                           std::int32_t minLength,
                                           std::int32_t maxLength,
                                           const TResStrs& strings) {
  if (newPin != confirmation)
    return PinEntryProblem{strings.S_PIN_equal, MonitorPorts::kQuestion};
  const auto length = static_cast<std::int64_t>(newPin.size());
  if (length < minLength || length > maxLength)
    return PinEntryProblem{SafeFormat(L"%s(%d--%d)", {strings.UPIN_E2, minLength, maxLength}),
                           MonitorPorts::kInformation};
  return std::nullopt;
}

PinLengthRange NewPinLengthRange(std::int32_t tokenMin, std::int32_t tokenMax) {
  const auto okMin = static_cast<std::int32_t>(kPinOkThreshold);
  return {std::max(tokenMin, okMin), tokenMax <= 0 ? kPinBoxChars : tokenMax};
}

bool IsPinOkEnabled(std::size_t oldLength, std::size_t newLength, std::size_t confirmLength) {
  return oldLength >= kPinOkThreshold && newLength >= kPinOkThreshold &&
         confirmLength >= kPinOkThreshold;
}

bool ConfirmationEnterActsAsOk(std::size_t oldLength, std::size_t newLength) {
  return oldLength > 3 && newLength > 3;
}

DefaultPinCheck::PinLook DefaultPinCheck::LookAtPin(std::int32_t token) {
  PinState pin;
  if (GetPinState(lib_, token, kUserPin, pin) != 0)
    return PinLook::kUnknown;
  const std::wstring label = token >= 0 && token < kTokenTableSize
                                 ? TokenIdentity(ports_, state_.TokenTable[token])[0]
                                 : std::wstring();
  if (pin.IsLocked()) {
    ports_.RecordEvent(MonitorEvent::kPinLocked, {label});
    ports_.ShowMessage(strings_.K_Dead, MonitorPorts::kInformation);
    return PinLook::kLocked;
  }
  if (!pin.IsStillDefault())
    return PinLook::kChanged;
  ports_.RecordEvent(MonitorEvent::kPinStillDefault, {label});
  return PinLook::kStillDefault;
}

void DefaultPinCheck::CheckDefaultUserPin(std::int32_t token) {
  if (config_.DefaultPINMode != 1 || state_.PinDialogBusy || token < 0 || token >= kTokenTableSize)
    return;
  if (LookAtPin(token) != PinLook::kStillDefault)
    return;
  state_.PinDialogBusy = true;
  RunSequence(TokenKey(state_.TokenTable[token]));
  state_.PinDialogBusy = false;
}

void DefaultPinCheck::RunSequence(const std::string& key) {
  const PinDialogs::PromptAnswer answer = dialogs_.ShowDefaultPinPrompt();
  // Saved whichever way the prompt was left.
  config_.DefaultPINMode = answer.remindAgain ? 1 : 0;
  dialogs_.SaveSettings(config_);
  if (!answer.yes)
    return;
  // A refused old PIN asks again while the token is still there and its PIN
  // is still the default.
  while (locate_(key) && ChangePinOf(key) != 0) {
    const std::optional<std::int32_t> token = locate_(key);
    if (!token)
      return;
    const PinLook look = LookAtPin(*token);
    if (look == PinLook::kLocked || look == PinLook::kChanged)
      return;
  }
}

PinChangeOutcome ChangePinOnToken(TokenLibrary& lib,
                                  std::int32_t token,
                                  const PinChange& change,
                                  const TResStrs& strings) {
  std::int32_t triesLeft = 0;
  if (lib.token_login(token, change.oldPin.text(), &triesLeft) != 0)
    return {true, SafeFormat(strings.K_OldCheck, {triesLeft})};
  lib.token_logout(token);
  const std::int32_t status =
      lib.token_change_upin(token, change.oldPin.text(), change.newPin.text());
  if (status != 0)
    return {false, strings.K_Set_No + strings.K_ErrorCODE_Str + std::to_wstring(status)};
  return {false, strings.K_Set_Yes};
}

std::int32_t DefaultPinCheck::ChangeUserPin(std::int32_t token) {
  if (token < 0 || token >= kTokenTableSize)
    return 0;
  return ChangePinOf(TokenKey(state_.TokenTable[token]));
}

std::int32_t DefaultPinCheck::ChangePinOf(const std::string& key) {
  std::optional<std::int32_t> token = locate_(key);
  if (!token || *token < 0 || *token >= kTokenTableSize)
    return 0;
  const TV9Info& info = state_.TokenTable[*token];
  const PinLengthRange range = NewPinLengthRange(info.MinPinLength(), info.MaxPinLength());
  std::optional<PinChange> change = dialogs_.ShowChangePinDialog(range.min, range.max);
  // Where the token is now: another plugged in meanwhile may have taken its
  // index, and a token pulled out hears nothing of it.
  token = change ? locate_(key) : std::nullopt;
  if (!token)
    return 0;
  const PinChangeOutcome outcome = ChangePinOnToken(lib_, *token, *change, strings_);
  ports_.ShowMessage(outcome.message, MonitorPorts::kInformation);
  if (outcome.oldPinWrong)
    return 1;
  return 0;
}
