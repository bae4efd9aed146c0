#pragma once
// A PKCS#11 module loaded and started: its function list (traced when the
// environment asks), and whether the C_Initialize that started it was ours.
#include <cstdint>
#include <string>
#include <vector>

#include "dynamic_library.h"
#include "base/pkcs11_api.h"

namespace tokenlib {

inline constexpr std::int32_t kErrModuleNotLoaded = 0x80001001;
inline constexpr std::int32_t kErrNoFunctionList = 0x80001002;

class Pkcs11Module {
 public:
  Pkcs11Module() = default;
  ~Pkcs11Module() { Close(); }
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  // Loads the module and starts it, for calls from any thread: with its own
  // locking, else with ours, else as it is. reserved: parameters some
  // (NSS-style) modules take. 0, kErrModuleNotLoaded, kErrNoFunctionList or
  // the module's CK_RV.
  std::int32_t Open(const std::string& nameOrPath, const std::string& reserved = "");
  // C_Finalize when our C_Initialize started it (another part of the process
  // that started it ends it), then unloads it.
  std::int32_t Close();

  // Lets go of the module without finalising or unloading it: a guest in
  // another program leaves it as it is, since another part of the program
  // may use it.
  void KeepStarted();

  CK_FUNCTION_LIST* functions() const { return functions_; }

 private:
  DynamicLibrary library_;
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool ownsInitialisation_ = false;
};

// The slots with a token present, in the module's order (C_GetSlotList's
// size query and list, again while a token plugged in between makes the
// list longer).
CK_RV SlotsWithToken(CK_FUNCTION_LIST* functions, std::vector<CK_SLOT_ID>* slots);

}  // namespace tokenlib
