#pragma once
#include <windows.h>

#include <functional>

#include "i18n/res_strs.h"
#include "key_provider.h"

// The provider's PIN prompt "TLoginForm", shown in the program that signs
// when the token wants its user logged in: the token's label, a PIN box,
// after a wrong PIN that it was wrong (with the tries left when the token
// tells them), Log in and Cancel; an empty PIN is not taken. Texts from the
// product's language file.
enum LoginFormControl : int {
  kLoginTokenCaption = 301,
  kLoginTokenLabel,
  kLoginPinCaption,
  kLoginPinEdit,
  kLoginTriesText,
  kLoginButton,
  kLoginCancelButton,
};

class DesktopPinPrompt : public csp::PinPrompt {
 public:
  // owner: asked only when the prompt is shown, for the window the program
  // named (or none); module: the provider's.
  DesktopPinPrompt(const TResStrs& strings, std::function<HWND()> owner, HINSTANCE module)
      : strings_(strings), owner_(std::move(owner)), module_(module) {}
  std::optional<SecretBytes> Ask(const csp::PinRequest& request) override;

 private:
  const TResStrs& strings_;
  std::function<HWND()> owner_;
  HINSTANCE module_;
};

// Whether a window of this process can be seen by anyone: false on a
// service's or a scheduled task's window station, where a prompt would wait
// for ever.
bool CanPromptHere();

// The window a prompt of the calling thread may be owned by: window, when
// it is one of this thread's (disabling another thread's window, or making
// ours its child, would tie the two threads' input together and can hang
// both); otherwise none.
HWND OwnerOnThisThread(HWND window);
