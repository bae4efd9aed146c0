#pragma once
// What our cryptographic providers ask of the tokens, in CryptoAPI's terms:
// containers found on the token a program names (by what the token is, never
// by where it sits), their public keys and certificates, and signing and
// decrypting with their private keys on the token, with the PIN asked for in
// the calling program when the token wants it. Portable; the CryptoAPI entry
// points are a thin layer over it, and a CNG key storage provider can be
// another.
//
// A guest in programs we do not own, it may be called from any thread at
// once. Its locks guard only its own tables: none is held across a module
// call or a prompt, so one token's slow call holds up no other token. The
// module, once opened, stays open for the life of the process and is never
// finalised: another part of the program may use it. The last context to go
// ends our login and closes our sessions instead. No PIN is kept here.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/der/der.h"
#include "base/secret_bytes.h"
#include "capi_values.h"
#include "code_page.h"
#include "container_model.h"
#include "library_note.h"
#include "object_reader.h"
#include "pkcs11_module.h"

namespace csp {

// What a token is: the two texts that tell it from another (system code page).
struct TokenId {
  std::string serial, label;
  bool operator==(const TokenId&) const = default;
};

// A container as a context found it: on which token, under which name.
struct ContainerRef {
  TokenId token;
  std::string name;  // system code page, unique on its token
};

struct PinRequest {
  std::string tokenLabel;                 // system code page
  bool afterWrongPin = false;             // the last PIN given was wrong
  std::optional<std::int32_t> triesLeft;  // only when the module tells it exactly
};

class PinPrompt {
 public:
  virtual ~PinPrompt() = default;
  // The PIN the user gave, or nothing when they cancelled.
  virtual std::optional<SecretBytes> Ask(const PinRequest& request) = 0;
};

// How an operation may get the user's PIN: never (CRYPT_SILENT, or nobody
// could see a prompt), or from prompt.
struct PinAccess {
  bool silent = false;
  PinPrompt* prompt = nullptr;
};

class KeyProvider {
 public:
  using Note = tokenlib::ObjectReader::Note;
  // moduleName is asked once, when the module is first needed.
  explicit KeyProvider(std::function<std::string()> moduleName,
                       const tokenlib::CodePage& codePage = tokenlib::SystemCodePage(),
                       Note note = tokenlib::WriteLibraryNote);
  ~KeyProvider();
  KeyProvider(const KeyProvider&) = delete;
  KeyProvider& operator=(const KeyProvider&) = delete;

  // Each context of the calling program counts; when the last goes, the
  // login we made is ended and our sessions are closed.
  void AddContext();
  void ReleaseContext();

  // The container a program names: "name" on the one present token that
  // holds it, "\\.\<serial>\name" on that token, the first container of the
  // first token for an empty name. A plain name two present tokens hold is
  // refused (kBadKeyset): either key could be the wrong one.
  capi::Status FindContainer(const std::string& asked, ContainerRef* ref);
  // Every container of every present token, in token order: plain names,
  // qualified where another token holds the same name.
  capi::Status ContainerNames(std::vector<std::string>* names);
  // The serial-qualified name of ref.
  static std::string UniqueName(const ContainerRef& ref);

  capi::Status PublicKey(const ContainerRef& ref, std::uint32_t keySpec, der::RsaPublicKey* key);
  capi::Status Certificate(const ContainerRef& ref,
                           std::uint32_t keySpec,
                           std::vector<std::uint8_t>* cert);
  // block: what SignedBlock made of the hash; CKM_RSA_PKCS on the token.
  capi::Status Sign(const ContainerRef& ref,
                    std::uint32_t keySpec,
                    std::span<const std::uint8_t> block,
                    const PinAccess& access,
                    std::vector<std::uint8_t>* signature);
  // cipher big-endian; the PKCS#1 v1.5 padding is removed on the token.
  capi::Status Decrypt(const ContainerRef& ref,
                       std::uint32_t keySpec,
                       std::span<const std::uint8_t> cipher,
                       const PinAccess& access,
                       SecretBytes* plain);
  // A PIN the program passes (PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN).
  capi::Status LogIn(const ContainerRef& ref, std::string_view pin);

 private:
  struct Slot;
  using SlotPtr = std::shared_ptr<Slot>;
  using ObjectsPtr = std::shared_ptr<const tokenlib::Objects>;
  // One private-key operation on a session: the key, the PIN for a key that
  // wants a login per operation (else null); *dirty when the session may be
  // left inside an operation.
  using KeyOperation = std::function<
      CK_RV(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const SecretBytes* pin, bool* dirty)>;

  capi::Status Functions(CK_FUNCTION_LIST** functions);
  // The present tokens in the module's order, each with its sessions.
  capi::Status Present(std::vector<SlotPtr>* present);
  // The present token that is id.
  capi::Status Locate(const TokenId& id, SlotPtr* slot);
  // Whether slot still holds the token it held.
  bool StillThere(const Slot& slot);
  capi::Status ObjectsOf(const SlotPtr& slot, ObjectsPtr* objects);
  capi::Status Entry(const ContainerRef& ref,
                     std::uint32_t keySpec,
                     SlotPtr* slot,
                     ObjectsPtr* objects,
                     tokenlib::ContainerEntry* entry);
  // Runs op on a session of slot's, an idle one or a new one; a session the
  // module says is gone is closed and op runs once more on a new one.
  template <class Op>
  CK_RV WithSession(Slot& slot, Op&& op);
  capi::Status WithPrivateKey(const ContainerRef& ref,
                              std::uint32_t keySpec,
                              const PinAccess& access,
                              const KeyOperation& op);
  // Asks for the PIN until the token takes it (or the user gives up); the
  // token must still be the one asked for when the PIN comes.
  capi::Status LogInByPrompt(const SlotPtr& slot, PinPrompt& prompt);
  // One operation of a key that wants the PIN each time.
  capi::Status RunWithPinEachTime(const SlotPtr& slot,
                                  CK_OBJECT_HANDLE key,
                                  const PinAccess& access,
                                  const KeyOperation& op);
  // Asks for the PIN until attempt takes it: an empty one is asked again
  // without a try spent, and the token must still be the one the prompt
  // named when the PIN comes.
  capi::Status AskUntilTaken(const SlotPtr& slot,
                             PinPrompt& prompt,
                             const std::function<CK_RV(const SecretBytes&)>& attempt);
  // pin as the module takes it (UTF-8).
  CK_RV LogInUser(Slot& slot, const SecretBytes& pin);
  // After a wrong PIN: what the module tells of the tries left.
  PinRequest AfterWrongPin(const Slot& slot, PinRequest request);
  // A code-page PIN as the module wants it: UTF-8.
  SecretBytes ModulePin(std::string_view pin) const;

  std::function<std::string()> moduleName_;
  const tokenlib::CodePage& codePage_;
  tokenlib::ObjectReader reader_;

  std::mutex opening_;  // held while the module is opened, by the threads that need it
  tokenlib::Pkcs11Module module_;
  CK_FUNCTION_LIST* functions_ = nullptr;  // set once, under opening_

  std::mutex lock_;  // guards what follows; never held across a module call
  int contexts_ = 0;
  std::map<CK_SLOT_ID, SlotPtr> slots_;
};

// The provider's error for a module's or the container model's status.
capi::Status FromModuleStatus(std::int64_t status);

}  // namespace csp
