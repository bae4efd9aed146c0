#include "token_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "attribute_reader.h"
#include "base/der/der.h"

namespace tokenlib {

namespace {

// PKCS#11 pads its fixed-size UTF-8 texts with blanks; callers read the
// system code page.
void CopyPadded(const CodePage& codePage,
                const CK_UTF8CHAR* source,
                std::size_t sourceSize,
                char* out,
                std::size_t outSize) {
  if (!out || outSize == 0)
    return;
  std::size_t n = sourceSize;
  while (n > 0 && (source[n - 1] == ' ' || source[n - 1] == '\0'))
    --n;
  const std::string text =
      DisplayText(codePage, std::string_view(reinterpret_cast<const char*>(source), n));
  n = std::min(text.size(), outSize - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

std::int32_t CopyOut(const std::vector<std::uint8_t>& value,
                     unsigned char* data,
                     std::int32_t* length) {
  if (value.size() > static_cast<std::size_t>(*length))
    return kErrBufferTooSmall;
  std::memcpy(data, value.data(), value.size());
  *length = static_cast<std::int32_t>(value.size());
  return 0;
}

std::int32_t ClampToInt32(CK_ULONG value) {
  if (value == CK_UNAVAILABLE_INFORMATION || value == CK_EFFECTIVELY_INFINITE)
    return -1;
  return value > 0x7FFFFFFFul ? 0x7FFFFFFF : static_cast<std::int32_t>(value);
}

// A PIN as the module wants it (UTF-8), wiped when it goes.
class PinBuffer {
 public:
  PinBuffer(const CodePage& codePage, std::string_view pin) {
    std::optional<SecretBytes> utf8 = codePage.ToUtf8(pin);
    bytes_ = utf8 ? std::move(*utf8) : SecretBytes::Copy(pin);
  }
  CK_UTF8CHAR* data() {
    return bytes_.empty() ? nullptr : reinterpret_cast<CK_UTF8CHAR*>(bytes_.data());
  }
  CK_ULONG size() const { return static_cast<CK_ULONG>(bytes_.size()); }

 private:
  SecretBytes bytes_;
};

// A user login that proves the PIN: a login that was already there proves
// nothing, so it is ended and the PIN tried. CKR_PIN_EXPIRED means the PIN was
// right and the token wants it changed (the session may then only C_SetPIN).
CK_RV LoginUser(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, PinBuffer& pin) {
  CK_RV rv = functions->C_Login(session, CKU_USER, pin.data(), pin.size());
  if (rv == CKR_USER_ALREADY_LOGGED_IN) {
    functions->C_Logout(session);
    rv = functions->C_Login(session, CKU_USER, pin.data(), pin.size());
  }
  return rv;
}

}  // namespace

TokenManager::~TokenManager() {
  Finalise();
}

std::int32_t TokenManager::Initialise(const std::string& module, const std::string& reserved) {
  Finalise();
  if (std::int32_t status = module_.Open(module, reserved))
    return status;
  functions_ = module_.functions();
  return 0;
}

std::int32_t TokenManager::Finalise() {
  if (functions_) {
    CloseSessions();
    tokens_.clear();
  }
  functions_ = nullptr;
  return module_.Close();
}

void TokenManager::CloseSessions() {
  for (auto& t : tokens_)
    DropSession(t);
}

TokenManager::Token* TokenManager::TokenAt(std::int32_t token) {
  if (!functions_ || token < 0 || token >= static_cast<std::int32_t>(tokens_.size()))
    return nullptr;
  return &tokens_[token];
}

void TokenManager::DropSession(Token& t) {
  if (t.session != CK_INVALID_HANDLE)
    functions_->C_CloseSession(t.session);
  t.session = CK_INVALID_HANDLE;
  t.objects.reset();
}

CK_RV TokenManager::OpenSession(Token& t) {
  DropSession(t);
  CK_RV rv = functions_->C_OpenSession(t.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                       nullptr, &t.session);
  if (rv == CKR_TOKEN_WRITE_PROTECTED)
    rv = functions_->C_OpenSession(t.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &t.session);
  if (rv != CKR_OK)
    t.session = CK_INVALID_HANDLE;
  return rv;
}

bool TokenManager::Present(const Token& t) {
  CK_SLOT_INFO info{};
  return functions_->C_GetSlotInfo(t.slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
}

std::int32_t TokenManager::Find(std::int32_t* handles, std::int32_t* count) {
  if (!count)
    return kErrArguments;
  const std::int32_t capacity = std::clamp(*count, 0, 1 << 16);
  *count = 0;
  if (!functions_)
    return kErrNotInitialised;
  std::vector<CK_SLOT_ID> slots;
  if (CK_RV rv = SlotsWithToken(functions_, &slots))
    return static_cast<std::int32_t>(rv);
  slots.resize(std::min<std::size_t>(slots.size(), static_cast<std::size_t>(capacity)));

  // Keep the sessions of tokens still present; the others are gone.
  std::vector<Token> next;
  for (CK_SLOT_ID slot : slots) {
    Token t;
    t.slot = slot;
    for (auto& old : tokens_)
      if (old.slot == slot)
        std::swap(t.session, old.session);
    next.push_back(std::move(t));
  }
  CloseSessions();
  tokens_ = std::move(next);
  for (std::size_t i = 0; i < tokens_.size(); ++i)
    if (handles)
      handles[i] = static_cast<std::int32_t>(tokens_[i].slot);
  *count = static_cast<std::int32_t>(tokens_.size());
  return 0;
}

std::int32_t TokenManager::Connect(std::int32_t token) {
  Token* t = TokenAt(token);
  if (!t)
    return functions_ ? kErrBadToken : kErrNotInitialised;
  if (t->session != CK_INVALID_HANDLE) {
    CK_SESSION_INFO info{};
    if (functions_->C_GetSessionInfo(t->session, &info) == CKR_OK)
      return 0;
  }
  return static_cast<std::int32_t>(OpenSession(*t));
}

std::int32_t TokenManager::GetInfo(std::int32_t token,
                                   char* label,
                                   char* manufacturer,
                                   char* model,
                                   char* serial,
                                   std::int32_t* props) {
  Token* t = TokenAt(token);
  if (!t)
    return functions_ ? kErrBadToken : kErrNotInitialised;
  // Some modules answer C_GetTokenInfo from what they knew; the slot knows.
  if (!Present(*t)) {
    DropSession(*t);
    return static_cast<std::int32_t>(CKR_TOKEN_NOT_PRESENT);
  }
  CK_TOKEN_INFO info{};
  const CK_RV rv = functions_->C_GetTokenInfo(t->slot, &info);
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  CopyPadded(codePage_, info.label, sizeof info.label, label, 33);
  CopyPadded(codePage_, info.manufacturerID, sizeof info.manufacturerID, manufacturer, 129);
  CopyPadded(codePage_, info.model, sizeof info.model, model, 65);
  CopyPadded(codePage_, info.serialNumber, sizeof info.serialNumber, serial, 65);
  if (props) {
    props[0] = ClampToInt32(info.ulMaxPinLen);
    props[1] = ClampToInt32(info.ulMinPinLen);
    props[2] = ClampToInt32(info.ulTotalPublicMemory);
    props[3] = ClampToInt32(info.ulFreePublicMemory);
    props[4] = info.hardwareVersion.major * 256 + info.hardwareVersion.minor;
    props[5] = info.firmwareVersion.major * 256 + info.firmwareVersion.minor;
    props[6] = static_cast<std::int32_t>(info.flags & 0x7FFFFFFF);
    props[7] = ClampToInt32(t->slot);
    props[8] = 0;
    props[9] = (info.flags & CKF_TOKEN_INITIALIZED) ? 1 : 0;
  }
  return 0;
}

std::int32_t TokenManager::Reload(std::int32_t token) {
  Token* t = TokenAt(token);
  if (!t)
    return functions_ ? kErrBadToken : kErrNotInitialised;
  t->objects.reset();
  const Objects* objects;
  return static_cast<std::int32_t>(ObjectsOf(token, &objects));
}

CK_RV TokenManager::ObjectsOf(std::int32_t token, const Objects** objects) {
  Token* t = TokenAt(token);
  if (t && t->objects) {
    *objects = t->objects.get();
    return CKR_OK;
  }
  auto fresh = std::make_unique<Objects>();
  if (CK_RV rv = WithSession(token, [&](CK_SESSION_HANDLE s) {
        return reader_.Read(functions_, t->slot, s, fresh.get());
      }))
    return rv;
  t->objects = std::move(fresh);
  *objects = t->objects.get();
  return CKR_OK;
}

std::int32_t TokenManager::LoadContainers(std::int32_t token, char* names, std::int32_t* length) {
  if (!names || !length || *length < 0)
    return kErrArguments;
  const std::size_t capacity = static_cast<std::size_t>(*length);
  const Objects* objects;
  if (CK_RV rv = ObjectsOf(token, &objects))
    return static_cast<std::int32_t>(rv);
  // Whole names only: a list that does not fit ends after the last name that
  // does, and says so.
  std::size_t used = 0;
  bool cut = false;
  for (const auto& c : objects->containers) {
    if (used + c.name.size() + 1 > capacity) {
      cut = true;
      break;
    }
    std::memcpy(names + used, c.name.c_str(), c.name.size() + 1);
    used += c.name.size() + 1;
  }
  if (used < capacity)
    names[used] = '\0';
  *length = static_cast<std::int32_t>(used);
  return cut ? kErrBufferTooSmall : 0;
}

std::int32_t TokenManager::FindContainer(std::int32_t token,
                                         const std::string& name,
                                         std::int32_t keySpec,
                                         ContainerEntry* entry) {
  *entry = {};
  const Objects* objects;
  if (CK_RV rv = ObjectsOf(token, &objects))
    return static_cast<std::int32_t>(rv);
  return FindInContainer(*objects, name, keySpec, UtcNowText(), entry);
}

std::int32_t TokenManager::GetContainerCert(std::int32_t token,
                                            const std::string& container,
                                            std::int32_t keySpec,
                                            unsigned char* data,
                                            std::int32_t* length) {
  if (!data || !length || *length < 0)
    return kErrArguments;
  ContainerEntry entry;
  if (std::int32_t rv = FindContainer(token, container, keySpec, &entry))
    return rv == kErrNoKey ? kErrNoCertificate : rv;
  if (!entry.cert)
    return kErrNoCertificate;
  return CopyOut(entry.cert->value, data, length);
}

std::int32_t TokenManager::GetContainerPubKey(std::int32_t token,
                                              const std::string& container,
                                              std::int32_t keySpec,
                                              std::int32_t* bits,
                                              std::int32_t* exponentLength,
                                              unsigned char* modulus,
                                              std::int32_t* modulusLength) {
  ContainerEntry entry;
  if (std::int32_t rv = FindContainer(token, container, keySpec, &entry))
    return rv == kErrNoKey ? kErrNoContainer : rv;
  std::vector<std::uint8_t> material;
  std::size_t exponent = 0;
  if (entry.key) {
    material = entry.key->material;
    exponent = entry.key->exponentLength;
  } else if (entry.cert) {
    material = der::CertificatePublicKey(entry.cert->value).value_or(std::vector<std::uint8_t>{});
    exponent = der::CertificateExponentLength(entry.cert->value);
  }
  const std::size_t n = std::min<std::size_t>(material.size(), 256);
  if (bits)
    *bits = static_cast<std::int32_t>(material.size() * 8);
  if (exponentLength)
    *exponentLength = static_cast<std::int32_t>(exponent);
  if (modulus && n)
    std::memcpy(modulus, material.data(), n);
  if (modulusLength)
    *modulusLength = static_cast<std::int32_t>(n);
  return 0;
}

std::int32_t TokenManager::FindStandaloneCerts(std::int32_t token,
                                               std::int32_t* handles,
                                               std::int32_t* count) {
  if (!count)
    return kErrArguments;
  *count = 0;
  const Objects* objects;
  if (CK_RV rv = ObjectsOf(token, &objects))
    return static_cast<std::int32_t>(rv);
  const auto n = std::min<std::size_t>(objects->standalone.size(), cmgr::kMaxStandaloneCerts);
  for (std::size_t i = 0; i < n && handles; ++i)
    handles[i] = static_cast<std::int32_t>(objects->standalone[i]->handle);
  *count = static_cast<std::int32_t>(n);
  return 0;
}

std::int32_t TokenManager::GetCert(std::int32_t token,
                                   std::int32_t handle,
                                   unsigned char* data,
                                   std::int32_t* length) {
  if (!data || !length || *length < 0)
    return kErrArguments;
  const Objects* objects;
  if (CK_RV rv = ObjectsOf(token, &objects))
    return static_cast<std::int32_t>(rv);
  const auto object = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(handle));
  for (const Certificate& c : objects->certs)
    if (c.handle == object)
      return CopyOut(c.value, data, length);
  return kErrNoCertificate;
}

std::int32_t TokenManager::GetPinState(std::int32_t token, std::int32_t kind, std::int32_t* state) {
  if (!state || (kind != 1 && kind != 2))
    return kErrArguments;
  Token* t = TokenAt(token);
  if (!t)
    return functions_ ? kErrBadToken : kErrNotInitialised;
  CK_TOKEN_INFO info{};
  const CK_RV rv = functions_->C_GetTokenInfo(t->slot, &info);
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  const auto flag = [&](CK_FLAGS f) { return (info.flags & f) ? 1 : 0; };
  const bool user = kind == 1;
  state[0] = flag(user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW);
  state[1] = flag(user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY);
  state[2] = flag(CKF_LOGIN_REQUIRED);
  state[3] = user ? flag(CKF_USER_PIN_INITIALIZED) : 0;
  state[4] = flag(user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED);
  state[5] = flag(user ? CKF_USER_PIN_TO_BE_CHANGED : CKF_SO_PIN_TO_BE_CHANGED);
  return 0;
}

std::int32_t TokenManager::Login(std::int32_t token,
                                 std::string_view pin,
                                 std::int32_t* triesLeft) {
  PinBuffer buffer(codePage_, pin);
  const CK_RV rv =
      WithSession(token, [&](CK_SESSION_HANDLE s) { return LoginUser(functions_, s, buffer); });
  if (Token* t = TokenAt(token))
    t->objects.reset();  // private objects come into view
  if (rv == CKR_OK || rv == CKR_PIN_EXPIRED)
    return 0;
  if (triesLeft && TokenAt(token)) {
    CK_TOKEN_INFO info{};
    functions_->C_GetTokenInfo(tokens_[token].slot, &info);
    *triesLeft = (info.flags & CKF_USER_PIN_LOCKED)      ? 0
                 : (info.flags & CKF_USER_PIN_FINAL_TRY) ? 1
                                                         : kTriesAtLeast;
  }
  return static_cast<std::int32_t>(rv);
}

std::int32_t TokenManager::Logout(std::int32_t token) {
  const CK_RV rv = WithSession(token, [&](CK_SESSION_HANDLE s) { return functions_->C_Logout(s); });
  if (Token* t = TokenAt(token))
    t->objects.reset();
  return static_cast<std::int32_t>(rv);
}

std::int32_t TokenManager::ChangeUserPin(std::int32_t token,
                                         std::string_view oldPin,
                                         std::string_view newPin) {
  PinBuffer oldBuffer(codePage_, oldPin), newBuffer(codePage_, newPin);
  const CK_RV rv = WithSession(token, [&](CK_SESSION_HANDLE s) {
    CK_RV login = LoginUser(functions_, s, oldBuffer);
    if (login != CKR_OK && login != CKR_PIN_EXPIRED)
      return login;
    const CK_RV set = functions_->C_SetPIN(s, oldBuffer.data(), oldBuffer.size(), newBuffer.data(),
                                           newBuffer.size());
    functions_->C_Logout(s);
    return set;
  });
  if (Token* t = TokenAt(token))
    t->objects.reset();
  return static_cast<std::int32_t>(rv);
}

}  // namespace tokenlib
