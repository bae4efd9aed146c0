#pragma once
// The token side of CorvanexMgr.dll: a consumer of any standard PKCS#11
// module. How the library's words map onto PKCS#11:
//
// token      a slot with a token present, in the order C_GetSlotList(CK_TRUE)
//            returns them at the last token_find; token_connect opens (or
//            reopens) a read/write session on it, read-only when the token
//            allows no more.
// info       C_GetTokenInfo: label, manufacturer, model and serial number
//            (blank padding removed). Properties:
//            1 ulMaxPinLen, 2 ulMinPinLen, 3 ulTotalPublicMemory, 4
//            ulFreePublicMemory (-1 when unavailable), 5 hardware version and
//            6 firmware version (major * 256 + minor), 7 the token flags, 8 the
//            slot id, 9 always 0, 10 = 1 when CKF_TOKEN_INITIALIZED.
// objects    read once per token_reload_all_objects (and after a login,
//            logout, new session or new search): one search per class and
//            one batched C_GetAttributeValue per object; every later call of
//            the pass is answered from what was read.
// container  the objects that share one CKA_ID: key objects (private and
//            public) and end-entity certificates, so that a token whose keys
//            are hidden before login, or that holds no public keys, still has
//            its containers. Named by the CKA_LABEL of its first labelled key
//            (else of its certificate) in the system code page; when two
//            containers share a label, or a label has no exact code-page form,
//            the name is the label and the CKA_ID in hex ("label-0a1b"), or
//            the hex alone. Names are unique per token.
// key spec   1 (exchange) for a key that can decrypt or unwrap (a public key:
//            encrypt or wrap), 2 (signature) for a key that only signs (a
//            public key: verifies). A visible private key decides for its
//            CKA_ID; public keys count only while it is hidden or absent.
//            Without a visible key the certificate's key usage decides: key
//            or data encipherment, key agreement, or no key-usage extension
//            give 1, signature-only 2.
// its cert   the X.509 certificate with the container's CKA_ID. When several
//            share it, the one whose public key is the key of that key spec (RSA
//            modulus or EC point); a key without readable material takes the
//            first.
// pubkey     container_get_pubkey: keyBits = key size in bits, exponentLength =
//            length of the public exponent, modulus (up to 256 bytes) and
//            modulusLength; from the certificate when no key object is visible.
// list       container_load_all: the names, each ending in NUL. When they do
//            not all fit, the whole names that fit, their length, and
//            CKR_BUFFER_TOO_SMALL.
// standalone certificates without a CKA_ID, and CA certificates (basic
//            constraints cA); their handles are the PKCS#11 object handles. At
//            most 65 are written.
// texts      PKCS#11 texts are UTF-8, the library's are in the system code
//            page: labels and PINs are converted at this boundary.
// removal    a token is present while C_GetSlotInfo says CKF_TOKEN_PRESENT. A
//            session the module answers with CKR_SESSION_HANDLE_INVALID,
//            CKR_SESSION_CLOSED, CKR_DEVICE_REMOVED or CKR_TOKEN_NOT_PRESENT is
//            dropped with what was read through it and opened again once.
// PIN state  kind 1 (user): 1 CKF_USER_PIN_COUNT_LOW, 2 CKF_USER_PIN_FINAL_TRY,
//            3 CKF_LOGIN_REQUIRED, 4 CKF_USER_PIN_INITIALIZED, 5 locked
//            (CKF_USER_PIN_LOCKED), 6 still default (CKF_USER_PIN_TO_BE_CHANGED);
//            kind 2 (SO) the same with the SO flags and 0 for the 4th.
// login      C_Login(CKU_USER). After a failure tries-left is 0 when the PIN
//            is locked, 1 on the final try, otherwise 2: PKCS#11 tells no
//            more, so the library reports the least that may remain.
// change     C_SetPIN in a logged-in read/write session (logged in for the
//            change when it was not, and out again after).
//
// Statuses are the module's CK_RV, or one of the codes below.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "attribute_reader.h"
#include "code_page.h"
#include "container_model.h"
#include "library_note.h"
#include "object_reader.h"
#include "pkcs11_module.h"
#include "base/corvanex_mgr_abi.h"
#include "base/pkcs11_api.h"

namespace tokenlib {

inline constexpr std::int32_t kErrNotInitialised = 0x190;  // CKR_CRYPTOKI_NOT_INITIALIZED
inline constexpr std::int32_t kErrBadToken = 0x3;          // CKR_SLOT_ID_INVALID
inline constexpr std::int32_t kErrArguments = cmgr::kArgumentsBad;
inline constexpr std::int32_t kErrBufferTooSmall = 0x150;  // CKR_BUFFER_TOO_SMALL
inline constexpr std::int32_t kErrNoCertificate = 0x80001004;
inline constexpr std::int32_t kTriesAtLeast = 2;

class TokenManager {
 public:
  // note hears of each object a pass had to leave out, once.
  using Note = std::function<void(const std::string&)>;
  explicit TokenManager(const CodePage& codePage = SystemCodePage(), Note note = WriteLibraryNote)
      : codePage_(codePage), reader_(codePage, std::move(note)) {}
  ~TokenManager();

  std::int32_t Initialise(const std::string& module, const std::string& reserved = "");
  std::int32_t Finalise();

  std::int32_t Find(std::int32_t* handles, std::int32_t* count);
  std::int32_t Connect(std::int32_t token);
  std::int32_t GetInfo(std::int32_t token,
                       char* label,
                       char* manufacturer,
                       char* model,
                       char* serial,
                       std::int32_t* props);
  std::int32_t Reload(std::int32_t token);
  std::int32_t LoadContainers(std::int32_t token, char* names, std::int32_t* length);
  std::int32_t GetContainerCert(std::int32_t token,
                                const std::string& container,
                                std::int32_t keySpec,
                                unsigned char* data,
                                std::int32_t* length);
  std::int32_t GetContainerPubKey(std::int32_t token,
                                  const std::string& container,
                                  std::int32_t keySpec,
                                  std::int32_t* bits,
                                  std::int32_t* exponentLength,
                                  unsigned char* modulus,
                                  std::int32_t* modulusLength);
  std::int32_t FindStandaloneCerts(std::int32_t token, std::int32_t* handles, std::int32_t* count);
  std::int32_t GetCert(std::int32_t token,
                       std::int32_t handle,
                       unsigned char* data,
                       std::int32_t* length);
  std::int32_t GetPinState(std::int32_t token, std::int32_t kind, std::int32_t* state);
  std::int32_t Login(std::int32_t token, std::string_view pin, std::int32_t* triesLeft);
  std::int32_t Logout(std::int32_t token);
  std::int32_t ChangeUserPin(std::int32_t token, std::string_view oldPin, std::string_view newPin);

  // The private key of keySpec in the container signs data with CKM_RSA_PKCS
  // (data: a DigestInfo, or a TLS client's 36 bytes of MD5 and SHA-1), or
  // decrypts a PKCS#1 v1.5 block with it. Where the token hides its private
  // keys the user must be logged in first: CKR_USER_NOT_LOGGED_IN. The
  // result replaces signature or plain.
  std::int32_t SignWithKey(std::int32_t token,
                           const std::string& container,
                           std::int32_t keySpec,
                           std::span<const std::uint8_t> data,
                           std::vector<std::uint8_t>* signature);
  std::int32_t DecryptWithKey(std::int32_t token,
                              const std::string& container,
                              std::int32_t keySpec,
                              std::span<const std::uint8_t> cipher,
                              SecretBytes* plain);

  // The key of keySpec in the container and its current certificate, as the
  // last read of the token found them; valid until the next call.
  std::int32_t FindContainer(std::int32_t token,
                             const std::string& name,
                             std::int32_t keySpec,
                             ContainerEntry* entry);

 private:
  // A found token, its session and what was last read through it.
  struct Token {
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    std::unique_ptr<Objects> objects;
  };

  Token* TokenAt(std::int32_t token);
  CK_RV OpenSession(Token& t);
  void DropSession(Token& t);
  // Runs op(session) on the token's session; when the module says the session
  // or the token went away, opens a new session and runs op once more.
  template <class Op>
  CK_RV WithSession(std::int32_t token, Op&& op);
  CK_RV ObjectsOf(std::int32_t token, const Objects** objects);
  // One CKM_RSA_PKCS operation of the container's private key (decrypt, or
  // sign) on in, into out of kMaxKeyBytes; length gets the result's.
  std::int32_t RunPrivateKey(std::int32_t token,
                             const std::string& container,
                             std::int32_t keySpec,
                             std::span<const std::uint8_t> in,
                             bool decrypt,
                             unsigned char* out,
                             CK_ULONG* length);
  // The handle of the visible private key of keySpec in the container.
  std::int32_t PrivateKeyOf(std::int32_t token,
                            const std::string& container,
                            std::int32_t keySpec,
                            CK_OBJECT_HANDLE* key);
  bool Present(const Token& t);
  void CloseSessions();

  const CodePage& codePage_;
  Pkcs11Module module_;
  CK_FUNCTION_LIST* functions_ = nullptr;  // module_'s while it is open
  std::vector<Token> tokens_;
  ObjectReader reader_;
};

template <class Op>
CK_RV TokenManager::WithSession(std::int32_t token, Op&& op) {
  Token* t = TokenAt(token);
  if (!t)
    return functions_ ? kErrBadToken : kErrNotInitialised;
  const bool fresh = t->session == CK_INVALID_HANDLE;
  if (fresh) {
    if (CK_RV rv = OpenSession(*t))
      return rv;
  }
  CK_RV rv = op(t->session);
  if (!fresh && IsSessionGone(rv)) {
    if (CK_RV reopened = OpenSession(*t))
      return reopened;
    rv = op(t->session);
  }
  if (IsSessionGone(rv))
    DropSession(*t);
  return rv;
}

}  // namespace tokenlib
