#pragma once
// The virtual token's state, in plain files read afresh on every query.
//
// Configuration (vtoken.ini beside the module, or the file VTOKEN_CONFIG
// names):
//   [slots]
//   count=2
//   slot0=tokens/alice      ; a token folder, relative to this file; empty = no token
//   [module]
//   osLocking=0             ; C_Initialize answers CKR_CANT_LOCK when offered OS locking
//   pinExpired=1            ; C_Login with the right PIN answers CKR_PIN_EXPIRED while the
//                           ; PIN is still the default (logged in, as for C_SetPIN)
//
// Token folder: token.ini and DER certificate files.
//   [token]
//   label=...  manufacturer=...  model=...  serial=...
//   initialized=1  minPinLen=4  maxPinLen=16
//   userPin=12345678  pinIsDefault=1  triesLeft=6  maxTries=6
//   [container:NAME]         ; one per key container
//   exchange=file.der        ; the certificate of the exchange key (optional)
//   signature=file.der       ; the certificate of the signature key (optional)
//   [standalone]
//   any-name=file.der        ; certificates without a key (CA certificates)
//
// Each container is presented as public-key objects (CKA_ID and CKA_LABEL =
// the container name; encrypt/wrap for the exchange key, verify only for the
// signature key; the modulus taken from the certificate) and a certificate
// object with the same CKA_ID per key. Standalone certificates get ids that
// match no key.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ini_file.h"
#include "tokenlib/pkcs11_api.h"

namespace vtoken {

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  CK_OBJECT_CLASS cls = 0;
  std::string id;
  std::string label;
  std::string value;                  // certificate DER
  std::vector<std::uint8_t> modulus;  // public keys
  bool exchange = false;
};

struct Token {
  std::string folder;
  IniFile ini;
  std::string label, manufacturer, model, serial;
  bool initialized = true;
  int minPinLen = 4, maxPinLen = 16;
  std::string userPin;
  bool pinIsDefault = false;
  int triesLeft = 6, maxTries = 6;
  std::vector<Object> objects;

  CK_FLAGS Flags() const;
  // Writes the PIN fields back to token.ini (atomically).
  bool SavePinState();
};

struct Config {
  std::string path;
  std::vector<std::string> slotFolders;  // absolute; empty = no token
  bool osLocking = true;
  bool pinExpired = false;
};

// The folder this module was loaded from, with a trailing separator.
std::string ModuleFolder();
Config LoadConfig();
std::optional<Token> LoadToken(const std::string& folder);
// The folder of slot's token, or empty when no token is plugged in.
std::string SlotFolder(CK_SLOT_ID slot);

}  // namespace vtoken
