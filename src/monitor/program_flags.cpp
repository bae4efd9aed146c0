#include "monitor/program_flags.h"

bool LibraryReady = false;
bool ProviderRegistered = false;
bool PinDialogBusy = false;
bool UpdateCancelled = false;
