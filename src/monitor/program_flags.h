#pragma once

// Program-wide flags of the token monitoring, all touched on the main thread.
extern bool LibraryReady;        // the token library started
extern bool ProviderRegistered;  // the maker's provider is installed on this machine
extern bool PinDialogBusy;       // the default-PIN sequence is running
extern bool UpdateCancelled;     // the manager asked us to leave updates to it
