#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "i18n/res_strs.h"

// One text command (UTF-16 with its NUL) by WM_COPYDATA to the top-level
// window of className; dropped silently when there is none.
void SendCopyDataCommand(const std::wstring& text,
                         const std::wstring& className,
                         void* senderWindow);

// Answers our own open prompt captioned caption, if any, with No; a window
// of another program with that caption is left alone.
void AnswerOpenPromptNo(const std::wstring& caption);

// Whether sender, the window a WM_COPYDATA message names as its own, is the
// manager's: a top-level window of class "TQZCorvanexE_Mgr" of another
// process, and that process runs managerPath (the manager beside the
// monitor, in a folder only administrators can write). Any program can
// register the class; only the manager runs from there.
bool IsManagerWindow(void* sender, const std::wstring& managerPath);

// On token removal: closes the program's dialogs and, once no token is left,
// answers an open prompt with No.
void CloseDialogsOnRemoval(int tokenCount, const std::wstring& promptCaption);

// What a WM_COPYDATA message from another program asks of the monitor.
struct CopyDataRequest {
  enum Kind {
    kShowBalloon,            // show text (empty: take any balloon down)
    kRegisterAgain,          // "RegCert": register the certificates again
    kLeaveUpdatesToManager,  // "Update": no update check of our own
    kRefused,                // larger than any command or status text: nothing changes
  };
  Kind kind = kShowBalloon;
  std::wstring text;
  // The text is the sender's own, not one of ours named by a status key.
  bool sendersOwnText = false;
};

// The longest text of a sender's own a balloon shows.
inline constexpr std::size_t kMaxSendersTextChars = 200;

// At most one balloon of a sender's own text in kSpacingMs: the manager's
// name can be used by any program of the user, which must not keep the
// tray busy.
class SendersTextSpacing {
 public:
  static constexpr std::uint64_t kSpacingMs = 2000;
  // Whether a text arriving at nowMs is shown.
  bool Take(std::uint64_t nowMs) {
    if (last_ && nowMs - *last_ < kSpacingMs)
      return false;
    last_ = nowMs;
    return true;
  }

 private:
  std::optional<std::uint64_t> last_;
};

// The text of a WM_COPYDATA buffer: UTF-16 up to its NUL, never beyond
// byteCount bytes (an odd last byte is dropped); empty for no buffer.
std::wstring CopyDataText(const void* data, std::size_t byteCount);

// The largest message taken: a status text is a line, a command one word.
inline constexpr std::size_t kMaxCopyDataBytes = 64 * 1024;

// Decodes a message: one over kMaxCopyDataBytes is refused; dwData 1 is a status text, turned into
// its message by the first status key it contains; any other value is a command, matched whole and
// without regard to ASCII case. A text neither names is shown as it arrived, up to
// kMaxSendersTextChars.
CopyDataRequest DecodeCopyData(std::uintptr_t dwData,
                               const void* data,
                               std::size_t byteCount,
                               const TResStrs& strings);
