#pragma once
#include "token/token_records.h"

// Program-wide state of one run. Start-up owns the one instance and hands it
// by reference to whatever reads or changes it; everything touches it on the
// main thread.
struct ProgramState {
  TokenTableArray TokenTable;       // tokens by index, in the order of the last search
  bool LibraryReady = false;        // the token library started
  bool ProviderRegistered = false;  // the maker's provider is installed on this machine
  bool PinDialogBusy = false;       // the default-PIN sequence is running
  bool UpdateCancelled = false;     // the manager asked us to leave updates to it
  bool ExitRequested = false;       // the user chose Exit, or the library failed to start
  bool SessionEnding = false;       // Windows is ending the session
};
