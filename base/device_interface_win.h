#pragma once
#include <windows.h>
#include <objbase.h>

#include "base/shared_names.h"

// The USB device-interface class, from its one written form.
inline GUID UsbDeviceInterfaceGuid() {
  GUID guid{};
  IIDFromString(names::kUsbDeviceInterfaceGuid, &guid);
  return guid;
}
