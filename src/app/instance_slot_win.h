#pragma once
#include <windows.h>

#include "base/unique_handle_win.h"

// The named shared memory that lets one copy run per session. It holds the
// application window of the running copy, or 0.
class InstanceSlot {
 public:
  InstanceSlot();  // opens or creates the slot; without it the program runs unguarded
  // True when another copy already holds the slot. Checking and claiming is
  // one atomic step, so two copies started together cannot both win.
  bool ClaimSingleInstance(HWND applicationWindow);

 private:
  UniqueKernelHandle mapping_;
  UniqueMappedView view_;
};
