#include "app/instance_slot_win.h"

#include "config/fixed_names.h"

namespace {

constexpr DWORD kSlotSize = sizeof(LONG);

UniqueMappedView MapSlot(HANDLE mapping) {
  UniqueMappedView view(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (!view)
    return view;
  // A mapping of that name made by someone else may be smaller than the slot.
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view.get(), &info, sizeof info) < sizeof info || info.RegionSize < kSlotSize)
    view.reset();
  return view;
}

}  // namespace

InstanceSlot::InstanceSlot() {
  mapping_.reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, names::kInstanceSlotName));
  if (mapping_) {
    view_ = MapSlot(mapping_.get());
    if (!view_)
      mapping_.reset();
    return;
  }
  mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSlotSize,
                                    names::kInstanceSlotName));
  if (!mapping_)
    return;
  // Another copy may have created it between our open and create: then the
  // slot is already initialised and must not be reset to 0.
  const bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
  view_ = MapSlot(mapping_.get());
  if (!view_) {
    mapping_.reset();
    return;
  }
  if (fresh)
    InterlockedExchange(static_cast<LONG volatile*>(view_.get()), 0);
}

bool InstanceSlot::ClaimSingleInstance(HWND applicationWindow) {
  if (!view_)
    return false;
  // Window handles carry 32 significant bits on every Windows, so the slot
  // holds them whole in both builds.
  const LONG mine = static_cast<LONG>(reinterpret_cast<LONG_PTR>(applicationWindow));
  const LONG previous =
      InterlockedCompareExchange(static_cast<LONG volatile*>(view_.get()), mine, 0);
  return previous != 0;
}
