#pragma once
#include <windows.h>

#include "base/secret_bytes.h"

// A PIN box: masked, limited to maxChars, and taking only characters the
// system code page holds exactly (anything else typed or pasted is refused
// quietly), so what the token receives is what the user typed.
void MakePinEdit(HWND edit, int maxChars);

// The box's text in the system code page, in memory that wipes itself; the
// box's own buffer is overwritten when wipeBox is set.
SecretBytes TakePinEdit(HWND edit, bool wipeBox);
