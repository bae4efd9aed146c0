#pragma once
#include <windows.h>
#include <objbase.h>

#include "base/shared_names.h"

// The device-interface classes, each from its one written form.
inline GUID UsbDeviceInterfaceGuid() {
  GUID guid{};
  IIDFromString(names::kUsbDeviceInterfaceGuid, &guid);
  return guid;
}
inline GUID SmartCardReaderInterfaceGuid() {
  GUID guid{};
  IIDFromString(names::kSmartCardReaderInterfaceGuid, &guid);
  return guid;
}
