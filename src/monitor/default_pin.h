#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config/app_config.h"
#include "i18n/res_strs.h"
#include "monitor/program_state.h"
#include "monitor/token_session.h"
#include "token/token_library.h"

// A PIN the user typed, wiped from memory when it goes.
class PinText {
 public:
  PinText() = default;
  // Takes a copy and wipes the given string where it stands: moving a short
  // string copies its characters and leaves them in the source's buffer.
  explicit PinText(std::wstring&& text);
  ~PinText();
  PinText(PinText&& other) noexcept;
  PinText& operator=(PinText&& other) noexcept;
  PinText(const PinText&) = delete;
  PinText& operator=(const PinText&) = delete;
  const std::wstring& text() const { return text_; }

 private:
  std::wstring text_;
};

// What the user entered in the change view.
struct PinChange {
  PinText oldPin;
  PinText newPin;
};

// The two views of the PIN dialog, and where the remind setting is kept.
class PinDialogs {
 public:
  struct PromptAnswer {
    bool yes = false;         // "Yes"; "No" and closing the window are no
    bool remindAgain = true;  // the remind box as it was left
  };
  virtual ~PinDialogs() = default;
  virtual PromptAnswer ShowDefaultPinPrompt() = 0;
  // The change view for a new PIN of minLength to maxLength characters;
  // nothing when it was cancelled or a PIN dialog is already open (that one
  // is brought to the front instead).
  virtual std::optional<PinChange> ShowChangePinDialog(std::int32_t minLength,
                                                       std::int32_t maxLength) = 0;
  virtual void SaveSettings(const TConfigInfo& config) = 0;
};

// The checks of the change view's OK button, in order: a confirmation that
// differs, then a new PIN outside the token's length range. The message to
// show (the dialog stays open), or nothing when the dialog may close.
struct PinEntryProblem {
  std::wstring text;
  unsigned boxKind;  // MonitorPorts::BoxKind
};
std::optional<PinEntryProblem> CheckNewPin(const std::wstring& newPin,
                                           const std::wstring& confirmation,
                                           std::int32_t minLength,
                                           std::int32_t maxLength,
                                           const TResStrs& strings);
// The change of a token's user PIN as the change view asks for it: the old
// PIN checked by a login first, so that a wrong one tells the tries left and
// changes nothing, then the change. What to tell the user.
struct PinChangeOutcome {
  bool oldPinWrong = false;
  std::wstring message;
};
PinChangeOutcome ChangePinOnToken(TokenLibrary& lib,
                                  std::int32_t token,
                                  const PinChange& change,
                                  const TResStrs& strings);

// The PIN boxes hold at most this many characters.
inline constexpr int kPinBoxChars = 16;
// The length range a new PIN is held to: the token's, where it gave one a
// user can meet. An unknown maximum (0, or "unavailable" read as -1) is the
// boxes' limit; a minimum below the 4 characters OK needs is 4.
struct PinLengthRange {
  std::int32_t min, max;
};
PinLengthRange NewPinLengthRange(std::int32_t tokenMin, std::int32_t tokenMax);
// OK is enabled once each box holds at least 4 characters, whatever the
// token's minimum.
bool IsPinOkEnabled(std::size_t oldLength, std::size_t newLength, std::size_t confirmLength);
// Enter in the confirmation box acts as OK once the old and the new PIN each
// hold more than 3 characters.
bool ConfirmationEnterActsAsOk(std::size_t oldLength, std::size_t newLength);

// The default-PIN check after an insertion, and the PIN change it leads to.
class DefaultPinCheck {
 public:
  // Where a token of the given TokenKey is in the token table now; nothing
  // once it is gone. Dialogs run nested message loops, in which tokens come
  // and go and indexes change: the sequence keeps its token by identity, and
  // stops once it is gone.
  using TokenLocator = std::function<std::optional<std::int32_t>(const std::string& key)>;
  DefaultPinCheck(ProgramState& state,
                  TokenLibrary& lib,
                  MonitorPorts& ports,
                  PinDialogs& dialogs,
                  TResStrs& strings,
                  TConfigInfo& config,
                  TokenLocator locate)
      : state_(state),
        lib_(lib),
        ports_(ports),
        dialogs_(dialogs),
        strings_(strings),
        config_(config),
        locate_(std::move(locate)) {}

  void CheckDefaultUserPin(std::int32_t token);
  // 1 only when the token refused the old PIN, else 0.
  std::int32_t ChangeUserPin(std::int32_t token);

 private:
  // The token's user PIN as the check sees it; a locked PIN is reported.
  enum class PinLook { kUnknown, kLocked, kStillDefault, kChanged };
  PinLook LookAtPin(std::int32_t token);
  void RunSequence(const std::string& key);
  std::int32_t ChangePinOf(const std::string& key);

  ProgramState& state_;
  TokenLibrary& lib_;
  MonitorPorts& ports_;
  PinDialogs& dialogs_;
  TResStrs& strings_;
  TConfigInfo& config_;
  TokenLocator locate_;
};
