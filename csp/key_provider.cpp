#include "key_provider.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "base/container_link.h"

namespace csp {

namespace {

// Large enough for the signature or the plain text of an 8192-bit key.
constexpr CK_ULONG kMaxKeyBytes = 1024;

bool IsWrongPin(CK_RV rv) {
  return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
}

// PKCS#11 pads its fixed-size texts with blanks.
std::string Unpadded(const tokenlib::CodePage& codePage,
                     const CK_UTF8CHAR* text,
                     std::size_t size) {
  while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == '\0'))
    --size;
  return tokenlib::DisplayText(codePage,
                               std::string_view(reinterpret_cast<const char*>(text), size));
}

}  // namespace

capi::Status FromModuleStatus(std::int64_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case CKR_OK:
      return capi::kOk;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
      return capi::kWrongPin;
    case CKR_PIN_LOCKED:
      return capi::kPinBlocked;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
      return capi::kRemovedCard;
    case CKR_DATA_INVALID:
    case CKR_DATA_LEN_RANGE:
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
      return capi::kBadData;
    case CKR_USER_NOT_LOGGED_IN:
      return capi::kSilentContext;
    case CKR_FUNCTION_CANCELED:
      return capi::kCancelledByUser;
    case static_cast<std::uint32_t>(tokenlib::kErrNoContainer):
      return capi::kBadKeyset;
    case static_cast<std::uint32_t>(tokenlib::kErrNoKey):
      return capi::kNoKey;
    default:
      return capi::kFail;
  }
}

// One present token as a slot holds it: its sessions (idle ones wait for the
// next operation, and keep the login) and what was last read of it.
struct KeyProvider::Slot {
  Slot(CK_FUNCTION_LIST* f, CK_SLOT_ID s, TokenId t) : functions(f), slot(s), token(std::move(t)) {}
  ~Slot() {
    for (CK_SESSION_HANDLE session : idle)
      functions->C_CloseSession(session);
    if (anchor != CK_INVALID_HANDLE)
      functions->C_CloseSession(anchor);
  }
  CK_FUNCTION_LIST* const functions;
  const CK_SLOT_ID slot;
  const TokenId token;

  std::mutex lock;  // guards what follows; never held across a module call
  // What was read is stale: a login or logout changed what is in view, or
  // the token went away under a session (it may be back, changed).
  void ForgetObjects() {
    objects.reset();
    ++generation;
  }

  std::vector<CK_SESSION_HANDLE> idle;
  // The session we logged in on, kept out of operations: closing a session
  // an operation left unclean must not end the login with it.
  CK_SESSION_HANDLE anchor = CK_INVALID_HANDLE;
  ObjectsPtr objects;
  std::uint64_t generation = 0;  // a login or logout makes an older read stale
  bool loggedIn = false;         // by us
};

KeyProvider::KeyProvider(std::function<std::string()> moduleName,
                         const tokenlib::CodePage& codePage,
                         Note note)
    : moduleName_(std::move(moduleName)), codePage_(codePage), reader_(codePage, std::move(note)) {}

KeyProvider::~KeyProvider() {
  std::map<CK_SLOT_ID, SlotPtr> slots;
  {
    std::lock_guard hold(lock_);
    slots.swap(slots_);
  }
  slots.clear();  // closes our sessions
  module_.KeepStarted();
}

void KeyProvider::AddContext() {
  std::lock_guard hold(lock_);
  ++contexts_;
}

void KeyProvider::ReleaseContext() {
  std::vector<SlotPtr> slots;
  {
    std::lock_guard hold(lock_);
    if (contexts_ == 0 || --contexts_ > 0)
      return;
    for (auto& [id, slot] : slots_)
      slots.push_back(slot);
  }
  // The tokens stay known, with what was read of them before any login: a
  // program that acquires, signs and releases each time does not read them
  // again each time.
  for (const SlotPtr& slot : slots) {
    std::vector<CK_SESSION_HANDLE> sessions;
    CK_SESSION_HANDLE anchor;
    bool ours;
    {
      std::lock_guard hold(slot->lock);
      sessions.swap(slot->idle);
      anchor = std::exchange(slot->anchor, CK_INVALID_HANDLE);
      ours = std::exchange(slot->loggedIn, false);
      if (ours)
        slot->ForgetObjects();  // read with the private objects in view
    }
    if (ours && anchor != CK_INVALID_HANDLE)
      slot->functions->C_Logout(anchor);
    if (anchor != CK_INVALID_HANDLE)
      sessions.push_back(anchor);
    for (CK_SESSION_HANDLE session : sessions)
      slot->functions->C_CloseSession(session);
  }
}

capi::Status KeyProvider::Functions(CK_FUNCTION_LIST** functions) {
  std::lock_guard hold(opening_);
  if (!functions_ && module_.Open(moduleName_()) == 0)
    functions_ = module_.functions();
  *functions = functions_;
  return functions_ ? capi::kOk : capi::kFail;
}

capi::Status KeyProvider::Present(std::vector<SlotPtr>* present) {
  CK_FUNCTION_LIST* f = nullptr;
  if (capi::Status status = Functions(&f))
    return status;
  std::vector<CK_SLOT_ID> ids;
  if (CK_RV rv = tokenlib::SlotsWithToken(f, &ids))
    return FromModuleStatus(rv);
  std::vector<std::pair<CK_SLOT_ID, TokenId>> seen;
  for (CK_SLOT_ID id : ids) {
    CK_TOKEN_INFO info{};
    // A token pulled since the list was made is left out.
    if (f->C_GetTokenInfo(id, &info) == CKR_OK)
      seen.emplace_back(id,
                        TokenId{Unpadded(codePage_, info.serialNumber, sizeof info.serialNumber),
                                Unpadded(codePage_, info.label, sizeof info.label)});
  }
  std::vector<SlotPtr> gone;  // closed after the lock is left
  present->clear();
  std::lock_guard hold(lock_);
  std::set<CK_SLOT_ID> still;
  for (auto& [id, token] : seen) {
    SlotPtr& slot = slots_[id];
    if (!slot || !(slot->token == token)) {
      if (slot)
        gone.push_back(slot);
      slot = std::make_shared<Slot>(f, id, std::move(token));
    }
    present->push_back(slot);
    still.insert(id);
  }
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (still.count(it->first)) {
      ++it;
    } else {
      gone.push_back(it->second);
      it = slots_.erase(it);
    }
  }
  return capi::kOk;
}

bool KeyProvider::StillThere(const Slot& slot) {
  // Some modules answer C_GetTokenInfo from what they knew; the slot knows.
  CK_SLOT_INFO slotInfo{};
  CK_TOKEN_INFO info{};
  return slot.functions->C_GetSlotInfo(slot.slot, &slotInfo) == CKR_OK &&
         (slotInfo.flags & CKF_TOKEN_PRESENT) &&
         slot.functions->C_GetTokenInfo(slot.slot, &info) == CKR_OK &&
         TokenId{Unpadded(codePage_, info.serialNumber, sizeof info.serialNumber),
                 Unpadded(codePage_, info.label, sizeof info.label)} == slot.token;
}

capi::Status KeyProvider::Locate(const TokenId& id, SlotPtr* slot) {
  {
    std::lock_guard hold(lock_);
    for (auto& [number, candidate] : slots_)
      if (candidate->token == id)
        *slot = candidate;
  }
  if (*slot && StillThere(**slot))
    return capi::kOk;
  // Pulled, or moved: the same token may be back in another slot. Another
  // token in its place is not it.
  std::vector<SlotPtr> present;
  if (capi::Status status = Present(&present))
    return status;
  for (const SlotPtr& candidate : present) {
    if (candidate->token == id) {
      *slot = candidate;
      return capi::kOk;
    }
  }
  return capi::kRemovedCard;
}

template <class Op>
CK_RV KeyProvider::WithSession(Slot& slot, Op&& op) {
  for (int attempt = 0;; ++attempt) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    {
      std::lock_guard hold(slot.lock);
      if (!slot.idle.empty()) {
        session = slot.idle.back();
        slot.idle.pop_back();
      }
    }
    const bool fresh = session == CK_INVALID_HANDLE;
    if (fresh) {
      // Read-only: signing, decrypting and a user's login need no more.
      if (CK_RV rv = slot.functions->C_OpenSession(slot.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                                   &session))
        return rv;
    }
    bool dirty = false;
    const CK_RV rv = op(session, &dirty);
    if (tokenlib::IsSessionGone(rv)) {
      std::lock_guard hold(slot.lock);
      slot.ForgetObjects();
    }
    if (tokenlib::IsSessionGone(rv) || dirty) {
      slot.functions->C_CloseSession(session);
      if (!fresh && attempt == 0 && tokenlib::IsSessionGone(rv))
        continue;
      return rv;
    }
    std::lock_guard hold(slot.lock);
    slot.idle.push_back(session);
    return rv;
  }
}

capi::Status KeyProvider::ObjectsOf(const SlotPtr& slot, ObjectsPtr* objects) {
  std::uint64_t generation;
  {
    std::lock_guard hold(slot->lock);
    *objects = slot->objects;
    generation = slot->generation;
  }
  if (*objects)
    return capi::kOk;
  std::shared_ptr<tokenlib::Objects> fresh;
  const CK_RV rv = WithSession(*slot, [&](CK_SESSION_HANDLE s, bool*) {
    fresh = std::make_shared<tokenlib::Objects>();  // a second try starts anew
    return reader_.Read(slot->functions, slot->slot, s, fresh.get());
  });
  if (rv != CKR_OK)
    return FromModuleStatus(rv);
  std::lock_guard hold(slot->lock);
  if (slot->generation == generation)
    slot->objects = fresh;
  *objects = std::move(fresh);
  return capi::kOk;
}

std::string KeyProvider::UniqueName(const ContainerRef& ref) {
  return container_link::CanQualify(ref.token.serial)
             ? container_link::Qualified(ref.token.serial, ref.name)
             : ref.name;
}

capi::Status KeyProvider::FindContainer(const std::string& asked, ContainerRef* ref) {
  std::vector<SlotPtr> present;
  if (capi::Status status = Present(&present))
    return status;
  if (present.empty())
    return capi::kNoSmartCard;
  const container_link::Parsed parsed = container_link::Parse(asked);
  if (parsed.reader) {
    // The token the link names, and no other.
    std::erase_if(present, [&](const SlotPtr& s) { return s->token.serial != *parsed.reader; });
    if (present.empty())
      return capi::kNoSmartCard;
  }
  std::optional<ContainerRef> found;
  for (const SlotPtr& slot : present) {
    ObjectsPtr objects;
    if (ObjectsOf(slot, &objects) != capi::kOk)
      continue;  // a token that cannot be read now holds nothing a program can use
    for (const tokenlib::Container& c : objects->containers) {
      if (!parsed.name.empty() && c.name != parsed.name)
        continue;
      if (found)
        return capi::kBadKeyset;  // two tokens hold the name: either may be the wrong key
      found = ContainerRef{slot->token, c.name};
      if (parsed.name.empty())
        break;  // the default: the first token's first
    }
    if (found && parsed.name.empty())
      break;
  }
  if (!found)
    return capi::kBadKeyset;
  *ref = std::move(*found);
  return capi::kOk;
}

capi::Status KeyProvider::ContainerNames(std::vector<std::string>* names) {
  std::vector<SlotPtr> present;
  if (capi::Status status = Present(&present))
    return status;
  std::vector<ContainerRef> refs;
  std::map<std::string, int> holders;
  for (const SlotPtr& slot : present) {
    ObjectsPtr objects;
    if (ObjectsOf(slot, &objects) != capi::kOk)
      continue;
    for (const tokenlib::Container& c : objects->containers) {
      refs.push_back({slot->token, c.name});
      ++holders[c.name];
    }
  }
  names->clear();
  for (const ContainerRef& ref : refs)
    names->push_back(holders[ref.name] > 1 ? UniqueName(ref) : ref.name);
  return capi::kOk;
}

capi::Status KeyProvider::Entry(const ContainerRef& ref,
                                std::uint32_t keySpec,
                                SlotPtr* slot,
                                ObjectsPtr* objects,
                                tokenlib::ContainerEntry* entry) {
  if (keySpec != capi::kAtKeyExchange && keySpec != capi::kAtSignature)
    return capi::kBadKey;
  if (capi::Status status = Locate(ref.token, slot))
    return status;
  if (capi::Status status = ObjectsOf(*slot, objects))
    return status;
  *entry = {};
  return FromModuleStatus(tokenlib::FindInContainer(
      **objects, ref.name, static_cast<std::int32_t>(keySpec), tokenlib::UtcNowText(), entry));
}

capi::Status KeyProvider::PublicKey(const ContainerRef& ref,
                                    std::uint32_t keySpec,
                                    der::RsaPublicKey* key) {
  SlotPtr slot;
  ObjectsPtr objects;
  tokenlib::ContainerEntry entry;
  if (capi::Status status = Entry(ref, keySpec, &slot, &objects, &entry))
    return status;
  // The exponent comes from the certificate: a key object alone does not
  // give it to us.
  const auto rsa = entry.cert ? der::CertificateRsaKey(entry.cert->value) : std::nullopt;
  if (!rsa)
    return capi::kNoKey;
  *key = *rsa;
  return capi::kOk;
}

capi::Status KeyProvider::Certificate(const ContainerRef& ref,
                                      std::uint32_t keySpec,
                                      std::vector<std::uint8_t>* cert) {
  SlotPtr slot;
  ObjectsPtr objects;
  tokenlib::ContainerEntry entry;
  if (capi::Status status = Entry(ref, keySpec, &slot, &objects, &entry))
    return status;
  if (!entry.cert)
    return capi::kNoKey;
  *cert = entry.cert->value;
  return capi::kOk;
}

namespace {

// C_SignInit or C_DecryptInit, the login the key wants for this operation
// when it wants one, then C_Sign or C_Decrypt in one call into out.
CK_RV RunKey(CK_FUNCTION_LIST* f,
             bool decrypt,
             CK_SESSION_HANDLE session,
             CK_OBJECT_HANDLE key,
             const SecretBytes* pin,
             std::span<const std::uint8_t> in,
             unsigned char* out,
             CK_ULONG* length,
             bool* dirty) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  if (CK_RV rv = (decrypt ? f->C_DecryptInit : f->C_SignInit)(session, &mechanism, key))
    return rv;
  if (pin) {
    CK_RV rv = f->C_Login(session, CKU_CONTEXT_SPECIFIC,
                          reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin->data())),
                          static_cast<CK_ULONG>(pin->size()));
    if (rv != CKR_OK) {
      *dirty = true;  // the operation may still be waiting on the session
      return rv;
    }
  }
  std::vector<CK_BYTE> input(in.begin(), in.end());
  // One call into a buffer that holds any result: a length query first is
  // where modules differ most.
  *length = kMaxKeyBytes;
  const CK_RV rv = (decrypt ? f->C_Decrypt : f->C_Sign)(
      session, input.data(), static_cast<CK_ULONG>(input.size()), out, length);
  *dirty = rv == CKR_BUFFER_TOO_SMALL;
  return rv;
}

}  // namespace

capi::Status KeyProvider::Sign(const ContainerRef& ref,
                               std::uint32_t keySpec,
                               std::span<const std::uint8_t> block,
                               const PinAccess& access,
                               std::vector<std::uint8_t>* signature) {
  std::vector<std::uint8_t> out(kMaxKeyBytes);
  CK_ULONG length = 0;
  const capi::Status status = WithPrivateKey(
      ref, keySpec, access,
      [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, const SecretBytes* pin, bool* dirty) {
        return RunKey(functions_, false, s, key, pin, block, out.data(), &length, dirty);
      });
  if (status)
    return status;
  out.resize(std::min<CK_ULONG>(length, kMaxKeyBytes));
  *signature = std::move(out);
  return capi::kOk;
}

capi::Status KeyProvider::Decrypt(const ContainerRef& ref,
                                  std::uint32_t keySpec,
                                  std::span<const std::uint8_t> cipher,
                                  const PinAccess& access,
                                  SecretBytes* plain) {
  SecretBytes out(kMaxKeyBytes);
  CK_ULONG length = 0;
  const capi::Status status = WithPrivateKey(
      ref, keySpec, access,
      [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, const SecretBytes* pin, bool* dirty) {
        return RunKey(functions_, true, s, key, pin, cipher,
                      reinterpret_cast<unsigned char*>(out.data()), &length, dirty);
      });
  if (status)
    return status;
  out.Shrink(std::min<CK_ULONG>(length, kMaxKeyBytes));
  *plain = std::move(out);
  return capi::kOk;
}

capi::Status KeyProvider::WithPrivateKey(const ContainerRef& ref,
                                         std::uint32_t keySpec,
                                         const PinAccess& access,
                                         const KeyOperation& op) {
  for (bool loggedIn = false;; loggedIn = true) {
    SlotPtr slot;
    ObjectsPtr objects;
    tokenlib::ContainerEntry entry;
    const capi::Status found = Entry(ref, keySpec, &slot, &objects, &entry);
    if (found && found != capi::kNoKey)
      return found;
    CK_RV rv = CKR_USER_NOT_LOGGED_IN;  // only a certificate or public key in view
    if (entry.key && entry.key->isPrivate) {
      if (entry.key->alwaysAuthenticate)
        return RunWithPinEachTime(slot, entry.key->handle, access, op);
      const CK_OBJECT_HANDLE key = entry.key->handle;
      rv = WithSession(
          *slot, [&](CK_SESSION_HANDLE s, bool* dirty) { return op(s, key, nullptr, dirty); });
    } else if (!entry.key && !entry.cert) {
      return found;
    }
    if (rv != CKR_USER_NOT_LOGGED_IN)
      return FromModuleStatus(rv);
    // Logged in, and the key still does not show: the token has none.
    if (loggedIn)
      return capi::kNoKey;
    if (access.silent || !access.prompt)
      return capi::kSilentContext;
    if (capi::Status status = LogInByPrompt(slot, *access.prompt))
      return status;
  }
}

PinRequest KeyProvider::AfterWrongPin(const Slot& slot, PinRequest request) {
  request.afterWrongPin = true;
  request.triesLeft.reset();
  CK_TOKEN_INFO info{};
  if (slot.functions->C_GetTokenInfo(slot.slot, &info) == CKR_OK) {
    // PKCS#11 tells only these two counts exactly.
    if (info.flags & CKF_USER_PIN_LOCKED)
      request.triesLeft = 0;
    else if (info.flags & CKF_USER_PIN_FINAL_TRY)
      request.triesLeft = 1;
  }
  return request;
}

SecretBytes KeyProvider::ModulePin(std::string_view pin) const {
  std::optional<SecretBytes> utf8 = codePage_.ToUtf8(pin);
  return utf8 ? std::move(*utf8) : SecretBytes::Copy(pin);
}

CK_RV KeyProvider::LogInUser(Slot& slot, const SecretBytes& pin) {
  CK_SESSION_HANDLE anchor;
  {
    std::lock_guard hold(slot.lock);
    anchor = std::exchange(slot.anchor, CK_INVALID_HANDLE);
  }
  CK_RV rv = CKR_SESSION_HANDLE_INVALID;
  for (int attempt = 0; attempt < 2 && tokenlib::IsSessionGone(rv); ++attempt) {
    if (attempt > 0 || anchor == CK_INVALID_HANDLE) {
      if (anchor != CK_INVALID_HANDLE)
        slot.functions->C_CloseSession(anchor);
      anchor = CK_INVALID_HANDLE;
      if ((rv = slot.functions->C_OpenSession(slot.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                              &anchor)) != CKR_OK)
        return rv;
    }
    rv = slot.functions->C_Login(anchor, CKU_USER,
                                 reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())),
                                 static_cast<CK_ULONG>(pin.size()));
  }
  CK_SESSION_HANDLE spare;
  {
    std::lock_guard hold(slot.lock);
    spare = std::exchange(slot.anchor, anchor);  // another thread's, made meanwhile
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
      slot.loggedIn = slot.loggedIn || rv == CKR_OK;
      slot.ForgetObjects();  // private objects come into view
    }
  }
  if (spare != CK_INVALID_HANDLE)
    slot.functions->C_CloseSession(spare);
  return rv;
}

capi::Status KeyProvider::AskUntilTaken(const SlotPtr& slot,
                                        PinPrompt& prompt,
                                        const std::function<CK_RV(const SecretBytes&)>& attempt) {
  PinRequest request{slot->token.label};
  for (;;) {
    std::optional<SecretBytes> pin = prompt.Ask(request);
    if (!pin)
      return capi::kCancelledByUser;
    if (pin->empty())
      continue;  // costs the token no try
    // The PIN was typed for the token the prompt named.
    if (!StillThere(*slot))
      return capi::kRemovedCard;
    const CK_RV rv = attempt(ModulePin(pin->view()));
    if (!IsWrongPin(rv))
      return rv == CKR_USER_ALREADY_LOGGED_IN ? capi::kOk : FromModuleStatus(rv);
    request = AfterWrongPin(*slot, request);
    if (request.triesLeft == 0)
      return capi::kPinBlocked;
  }
}

capi::Status KeyProvider::LogInByPrompt(const SlotPtr& slot, PinPrompt& prompt) {
  // A locked PIN is said at once, without asking for one that cannot work.
  CK_TOKEN_INFO info{};
  if (slot->functions->C_GetTokenInfo(slot->slot, &info) == CKR_OK &&
      (info.flags & CKF_USER_PIN_LOCKED))
    return capi::kPinBlocked;
  return AskUntilTaken(slot, prompt, [&](const SecretBytes& pin) { return LogInUser(*slot, pin); });
}

capi::Status KeyProvider::RunWithPinEachTime(const SlotPtr& slot,
                                             CK_OBJECT_HANDLE key,
                                             const PinAccess& access,
                                             const KeyOperation& op) {
  if (access.silent || !access.prompt)
    return capi::kSilentContext;
  return AskUntilTaken(slot, *access.prompt, [&](const SecretBytes& pin) {
    return WithSession(*slot,
                       [&](CK_SESSION_HANDLE s, bool* dirty) { return op(s, key, &pin, dirty); });
  });
}

capi::Status KeyProvider::LogIn(const ContainerRef& ref, std::string_view pin) {
  SlotPtr slot;
  if (capi::Status status = Locate(ref.token, &slot))
    return status;
  const CK_RV rv = LogInUser(*slot, ModulePin(pin));
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN)
    return capi::kOk;
  if (IsWrongPin(rv) && AfterWrongPin(*slot, {}).triesLeft == 0)
    return capi::kPinBlocked;
  return FromModuleStatus(rv);
}

}  // namespace csp
