#include "monitor/usb_device_win.h"

#include <dbt.h>

#include <string>

#include "config/fixed_names.h"
#include "monitor/token_session.h"
#include "base/device_interface_win.h"

namespace {

HDEVNOTIFY RegisterFor(HWND window, const GUID& interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interfaceClass;
  return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

TUSB::TUSB() {
  if (!CreateWindowOfClass(names::kDeviceWindowClass, L"", WS_POPUP, 0, nullptr))
    return;
  registration_.reset(RegisterFor(hwnd(), UsbDeviceInterfaceGuid()));
}

void TUSB::WatchSmartCardReaders(bool watch) {
  if (stopped_ || !hwnd() || watch == static_cast<bool>(readerRegistration_))
    return;
  if (watch)
    readerRegistration_.reset(RegisterFor(hwnd(), SmartCardReaderInterfaceGuid()));
  else
    readerRegistration_.reset();
}

LRESULT TUSB::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != WM_DEVICECHANGE)
    return Window::HandleMessage(msg, wp, lp);
  if (stopped_)
    return TRUE;
  if ((wp != DBT_DEVICEARRIVAL && wp != DBT_DEVICEREMOVECOMPLETE) || !lp)
    return TRUE;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
  // The size first: only then is the rest of the header there to read.
  if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ||
      header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
    return TRUE;
  // The path ends at its NUL or at the end of the broadcast, whichever is first.
  const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
  const std::size_t maxUnits =
      (header->dbch_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / sizeof(wchar_t);
  std::wstring path;
  for (std::size_t i = 0; i < maxUnits && device->dbcc_name[i]; ++i)
    path += device->dbcc_name[i];
  const bool arrival = wp == DBT_DEVICEARRIVAL;
  // A reader only while they are watched: a notification already on its way
  // when the watch ended is not one.
  if (IsEqualGUID(device->dbcc_classguid, SmartCardReaderInterfaceGuid())) {
    if (!readerRegistration_)
      return TRUE;
    const auto& handler = arrival ? OnReaderArrival : OnReaderRemoval;
    if (handler)
      handler();
    return TRUE;
  }
  ProductID = ParseProductId(path);
  VendorID = ParseVendorId(path);
  if (arrival) {
    if (OnArrival)
      OnArrival(*this);
  } else if (OnRemoval) {
    OnRemoval(*this);
  }
  return TRUE;
}
