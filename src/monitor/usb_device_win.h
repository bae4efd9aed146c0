#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>

#include "base/unique_handle_win.h"
#include "win32/window_win.h"

// The device-notification component: a hidden top-level window registered
// for USB device interfaces. Its class name is fixed (kDeviceWindowClass) so
// the driver tool can send it the notifications Windows would. The
// registration ends before the window does.
class TUSB : public Window {
 public:
  TUSB();
  // Ends the notifications; the window stays until this object goes.
  void StopNotifications() {
    registration_.reset();
    readerRegistration_.reset();
    stopped_ = true;
  }
  // Also notifies the arrival and removal of smart-card readers (any maker),
  // or stops doing so.
  void WatchSmartCardReaders(bool watch);
  std::function<void(TUSB&)> OnArrival;
  std::function<void(TUSB&)> OnRemoval;
  std::function<void()> OnReaderArrival;
  std::function<void()> OnReaderRemoval;
  // Product and vendor id of the last arrival or removal; 0 when none could
  // be read.
  std::int32_t ProductID = 0;
  std::int32_t VendorID = 0;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  UniqueDeviceNotify registration_;
  UniqueDeviceNotify readerRegistration_;
  bool stopped_ = false;
};
