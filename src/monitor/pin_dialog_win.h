#pragma once
#include <windows.h>

#include <cstdint>

#include "config/policy.h"
#include "i18n/res_strs.h"
#include "monitor/default_pin.h"

// The PIN dialog "TUPinSetForm": the default-PIN prompt view and the
// change-PIN view, each shown modally and gone when it closes.
struct PinDialogInputs {
  static constexpr std::int32_t kPromptView = 100;
  explicit PinDialogInputs(const TResStrs& texts) : strings(texts) {}
  const TResStrs& strings;
  std::int32_t ShowMode = 0;  // kPromptView, or the change view
  std::int32_t MinPinLen = 0;
  std::int32_t MaxPinLen = 0;
  bool RemindTicked = true;   // the prompt's remind box as it opens
  bool RemindLocked = false;  // set by the administrator: shown, not changeable
};
struct PinDialogOutputs {
  int ModalResult = IDCANCEL;  // IDOK: Yes in the prompt, OK in the change view
  bool RemindTicked = true;
  PinText OldPin;  // the change view's boxes, taken on OK
  PinText NewPin;
};

// Control ids, also how tests find the controls.
enum PinDialogControl : int {
  kPinGroup = 201,
  kOldPinCaption,
  kNewPinCaption,
  kConfirmPinCaption,
  kOldPinEdit,
  kNewPinEdit,
  kConfirmPinEdit,
  kOldPinCount,
  kNewPinCount,
  kConfirmPinCount,
  kPinOkButton,
  kPinCancelButton,
  kPromptPanel,
  kPromptIcon,
  kPromptText,
  kRemindBox,
  kPromptYesButton,
  kPromptNoButton,
};

// Shows the dialog modally over owner; false when it could not be created.
bool ShowPinDialog(HWND owner, const PinDialogInputs& inputs, PinDialogOutputs* outputs);

// The program's PIN dialogs over the main window, and its settings file.
class DesktopPinDialogs : public PinDialogs {
 public:
  DesktopPinDialogs(HWND mainWindow, const TResStrs& strings, Policy policy)
      : mainWindow_(mainWindow), strings_(strings), policy_(std::move(policy)) {}
  // Windows announced a change of policy.
  void UsePolicy(const Policy& policy) { policy_ = policy; }
  PromptAnswer ShowDefaultPinPrompt() override;
  std::optional<PinChange> ShowChangePinDialog(std::int32_t minLength,
                                               std::int32_t maxLength) override;
  void SaveSettings(const TConfigInfo& config) override;

 private:
  HWND mainWindow_;
  const TResStrs& strings_;
  Policy policy_;
};
