#pragma once
// The virtual token's state, in plain files, read again whenever they change
// (by modification time and size).
//
// Configuration (vtoken.ini beside the module, or the file VTOKEN_CONFIG
// names):
//   [slots]
//   count=2
//   slot0=tokens/alice      ; a token folder, relative to this file; empty = no token
//   inserted0=3             ; counts insertions: sessions do not outlive a re-plug
//   [module]
//   osLocking=0             ; C_Initialize answers CKR_CANT_LOCK when offered OS locking
//   pinExpired=1            ; C_Login with the right PIN answers CKR_PIN_EXPIRED while the
//                           ; PIN is still the default (logged in, as for C_SetPIN)
//   staleTokenInfo=1        ; C_GetTokenInfo answers from the last token seen in the
//                           ; slot, as modules with a cache do
//   plugBetweenCalls=tokens/bob  ; C_GetSlotList's size query is followed by this
//                           ; token arriving in the first empty slot (once)
//   objectsAfterMs=1200     ; a token's objects are found only this long after the
//                           ; last plug or pull (this file's time), as modules that
//                           ; list a token before reading it do
//
// Token folder: token.ini and DER certificate files.
//   [token]
//   label=...  manufacturer=...  model=...  serial=...
//   initialized=1  minPinLen=4  maxPinLen=16
//   userPin=12345678  pinIsDefault=1  triesLeft=6  maxTries=6
//   publicKeys=0             ; private keys and certificates only, as many tokens hold
//   signDelayMs=0            ; C_Sign and C_Decrypt take this long, as a PIN-pad reader
//                            ; or a slow card does (other tokens are not held up)
//   [container:NAME]         ; one per key container
//   label=...                ; its objects' CKA_LABEL (UTF-8), NAME when absent
//   id=0a1b                  ; its objects' CKA_ID in hex, NAME's bytes when absent
//   exchange=file.der        ; the certificate of the exchange key (optional);
//                            ; several files: certificates renewed on that key
//   signature=file.der       ; the certificate of the signature key (optional)
//   exchangeKey=file.der     ; that key's private key, PKCS#8 or PKCS#1 DER
//   signatureKey=file.der    ; (optional: without one the key signs and
//                            ; decrypts nothing, CKR_KEY_FUNCTION_NOT_PERMITTED)
//   alwaysAuthenticate=1     ; its private keys want the PIN for each operation
//                            ; (CKA_ALWAYS_AUTHENTICATE: C_Login(CKU_CONTEXT_SPECIFIC)
//                            ; after the operation's init, else CKR_USER_NOT_LOGGED_IN)
//   [standalone]
//   any-name=file.der        ; certificates without a key (CA certificates)
//
// Each key of a container is presented as a private-key object (CKA_PRIVATE,
// seen only after login; decrypt/unwrap/sign for the exchange key, sign only
// for the signature key; its private exponent sensitive), a public-key object
// (encrypt, wrap and verify alike, as many modules make them) and a
// certificate object, all with the container's CKA_ID and CKA_LABEL; moduli
// are taken from the certificate. Standalone certificates get ids that match
// no key. A private key with its key file signs (CKM_RSA_PKCS, both keys)
// and decrypts (the exchange key only).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ini_file.h"
#include "rsa_private_key.h"
#include "base/pkcs11_api.h"

namespace vtoken {

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  CK_OBJECT_CLASS cls = 0;
  std::string id;
  std::string label;
  std::string value;                  // certificate DER
  std::vector<std::uint8_t> modulus;  // keys
  bool exchange = false;
  bool isPrivate = false;                    // seen only by a logged-in session
  std::shared_ptr<const RsaPrivateKey> key;  // a private key's, when its file is there
  bool alwaysAuthenticate = false;
};

struct Token {
  std::string folder;
  std::string label, manufacturer, model, serial;
  bool initialized = true;
  int minPinLen = 4, maxPinLen = 16;
  std::string userPin;
  bool pinIsDefault = false;
  int triesLeft = 6, maxTries = 6;
  int signDelayMs = 0;
  // Shared with the cache: a call looks at a token of hundreds of objects.
  std::shared_ptr<const std::vector<Object>> objects;

  CK_FLAGS Flags() const;
  // Writes the PIN fields back to token.ini (atomically).
  bool SavePinState();
};

struct Config {
  std::string path;
  std::vector<std::string> slotFolders;  // absolute; empty = no token
  std::vector<int> insertions;           // per slot
  bool osLocking = true;
  bool pinExpired = false;
  bool staleTokenInfo = false;
  std::string plugBetweenCalls;  // as written in the file
  int objectsAfterMs = 0;
};

// Whether the tokens' objects can be read yet (objectsAfterMs).
bool ObjectsReadable(const Config& config);

// The folder this module was loaded from, with a trailing separator.
std::string ModuleFolder();
Config LoadConfig();
std::optional<Token> LoadToken(const std::string& folder);
// The folder of slot's token, or empty when no token is plugged in.
std::string SlotFolder(CK_SLOT_ID slot);
// Puts a token folder into the first empty slot, counting the insertion.
void PlugIntoFirstEmptySlot(const std::string& folder);

}  // namespace vtoken
