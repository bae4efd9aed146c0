#pragma once
#include <windows.h>

#include "i18n/res_strs.h"
#include "key_provider.h"

// The provider's PIN prompt "TLoginForm", shown in the program that signs
// when the token wants its user logged in: the token's label, a PIN box,
// after a wrong PIN the tries left, Log in and Cancel. Texts from the
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
  // owner: the window the program named, or none; module: the provider's.
  DesktopPinPrompt(const TResStrs& strings, HWND owner, HINSTANCE module)
      : strings_(strings), owner_(owner), module_(module) {}
  std::optional<SecretBytes> Ask(const csp::PinRequest& request) override;

 private:
  const TResStrs& strings_;
  HWND owner_;
  HINSTANCE module_;
};

// The prompt's window class belongs to the provider's module: it is
// unregistered before the module may be unloaded.
void UnregisterPinPromptClass(HINSTANCE module);
