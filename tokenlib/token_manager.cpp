#include "token_manager.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "der.h"

namespace tokenlib {

namespace {

// PKCS#11 pads its fixed-size texts with blanks.
void CopyPadded(const CK_UTF8CHAR* source, std::size_t sourceSize, char* out, std::size_t outSize) {
  if (!out || outSize == 0)
    return;
  std::size_t n = sourceSize;
  while (n > 0 && (source[n - 1] == ' ' || source[n - 1] == '\0'))
    --n;
  n = std::min(n, outSize - 1);
  std::memcpy(out, source, n);
  out[n] = '\0';
}

std::int32_t ClampToInt32(CK_ULONG value) {
  if (value == CK_UNAVAILABLE_INFORMATION || value == CK_EFFECTIVELY_INFINITE)
    return -1;
  return value > 0x7FFFFFFFul ? 0x7FFFFFFF : static_cast<std::int32_t>(value);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                        needle.end()) != haystack.end();
}

// A PIN as the module wants it, wiped when it goes.
class PinBuffer {
 public:
  explicit PinBuffer(const std::string& pin) : bytes_(pin.begin(), pin.end()) {}
  ~PinBuffer() { WipeSecret(bytes_.data(), bytes_.size()); }
  CK_UTF8CHAR* data() { return bytes_.empty() ? nullptr : bytes_.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(bytes_.size()); }

 private:
  std::vector<CK_UTF8CHAR> bytes_;
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

void WipeSecret(void* data, std::size_t size) {
  volatile auto* p = static_cast<volatile unsigned char*>(data);
  while (size--)
    *p++ = 0;
}

TokenManager::~TokenManager() {
  Finalise();
}

std::int32_t TokenManager::Initialise(const std::string& module, const std::string& reserved) {
  Finalise();
  if (!module_.Open(module))
    return kErrModuleNotLoaded;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(module_.Symbol("C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  if (!getList || getList(&list) != CKR_OK || !list) {
    module_.Close();
    return kErrNoFunctionList;
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  // Some modules (NSS-style) take their parameters here.
  std::vector<char> parameters(reserved.begin(), reserved.end());
  parameters.push_back('\0');
  if (!reserved.empty())
    args.pReserved = parameters.data();
  CK_RV rv = list->C_Initialize(&args);
  if (rv == CKR_CANT_LOCK)  // a module without its own locking: we call from one thread
    rv = list->C_Initialize(nullptr);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    module_.Close();
    return static_cast<std::int32_t>(rv);
  }
  // Another part of the process started the module: it is theirs to end.
  ownsInitialisation_ = rv == CKR_OK;
  functions_ = list;
  return 0;
}

std::int32_t TokenManager::Finalise() {
  if (!functions_) {
    module_.Close();
    return 0;
  }
  CloseSessions();
  tokens_.clear();
  const CK_RV rv = ownsInitialisation_ ? functions_->C_Finalize(nullptr) : CKR_OK;
  functions_ = nullptr;
  module_.Close();
  return static_cast<std::int32_t>(rv);
}

void TokenManager::CloseSessions() {
  for (auto& t : tokens_) {
    if (t.session != CK_INVALID_HANDLE)
      functions_->C_CloseSession(t.session);
    t.session = CK_INVALID_HANDLE;
  }
}

std::int32_t TokenManager::Find(std::int32_t* handles, std::int32_t* count) {
  if (!count)
    return kErrArguments;
  const std::int32_t capacity = std::clamp(*count, 0, 1 << 16);
  *count = 0;
  if (!functions_)
    return kErrNotInitialised;
  CK_ULONG n = 0;
  CK_RV rv = functions_->C_GetSlotList(CK_TRUE, nullptr, &n);
  std::vector<CK_SLOT_ID> slots(n);
  if (rv == CKR_OK && n > 0)
    rv = functions_->C_GetSlotList(CK_TRUE, slots.data(), &n);
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  slots.resize(std::min<CK_ULONG>(n, static_cast<CK_ULONG>(capacity)));

  // Keep the sessions of tokens still present; the others are gone.
  std::vector<Token> next;
  for (CK_SLOT_ID slot : slots) {
    Token t{slot, CK_INVALID_HANDLE};
    for (auto& old : tokens_)
      if (old.slot == slot)
        std::swap(t.session, old.session);
    next.push_back(t);
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
  if (!functions_)
    return kErrNotInitialised;
  if (token < 0 || token >= static_cast<std::int32_t>(tokens_.size()))
    return kErrBadToken;
  Token& t = tokens_[token];
  if (t.session != CK_INVALID_HANDLE) {
    CK_SESSION_INFO info{};
    if (functions_->C_GetSessionInfo(t.session, &info) == CKR_OK)
      return 0;
    functions_->C_CloseSession(t.session);  // the token was pulled out meanwhile
    t.session = CK_INVALID_HANDLE;
  }
  t.Forget();
  CK_RV rv = functions_->C_OpenSession(t.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                       nullptr, &t.session);
  if (rv == CKR_TOKEN_WRITE_PROTECTED)
    rv = functions_->C_OpenSession(t.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &t.session);
  if (rv != CKR_OK)
    t.session = CK_INVALID_HANDLE;
  return static_cast<std::int32_t>(rv);
}

std::int32_t TokenManager::SessionOf(std::int32_t token, CK_SESSION_HANDLE* session) {
  if (!functions_)
    return kErrNotInitialised;
  if (token < 0 || token >= static_cast<std::int32_t>(tokens_.size()))
    return kErrBadToken;
  if (tokens_[token].session == CK_INVALID_HANDLE) {
    if (std::int32_t rv = Connect(token))
      return rv;
  }
  *session = tokens_[token].session;
  return 0;
}

std::int32_t TokenManager::GetInfo(std::int32_t token,
                                   char* desc1,
                                   char* desc2,
                                   char* desc3,
                                   char* desc4,
                                   std::int32_t* props) {
  if (!functions_)
    return kErrNotInitialised;
  if (token < 0 || token >= static_cast<std::int32_t>(tokens_.size()))
    return kErrBadToken;
  CK_TOKEN_INFO info{};
  const CK_RV rv = functions_->C_GetTokenInfo(tokens_[token].slot, &info);
  if (rv != CKR_OK)
    return static_cast<std::int32_t>(rv);
  CopyPadded(info.label, sizeof info.label, desc1, 33);
  CopyPadded(info.manufacturerID, sizeof info.manufacturerID, desc2, 129);
  CopyPadded(info.model, sizeof info.model, desc3, 65);
  CopyPadded(info.serialNumber, sizeof info.serialNumber, desc4, 65);
  if (props) {
    props[0] = ClampToInt32(info.ulMaxPinLen);
    props[1] = ClampToInt32(info.ulMinPinLen);
    props[2] = ClampToInt32(info.ulTotalPublicMemory);
    props[3] = ClampToInt32(info.ulFreePublicMemory);
    props[4] = info.hardwareVersion.major * 256 + info.hardwareVersion.minor;
    props[5] = info.firmwareVersion.major * 256 + info.firmwareVersion.minor;
    props[6] = static_cast<std::int32_t>(info.flags & 0x7FFFFFFF);
    props[7] = ClampToInt32(tokens_[token].slot);
    props[8] = 0;
    props[9] = (info.flags & CKF_TOKEN_INITIALIZED) ? 1 : 0;
  }
  return 0;
}

std::int32_t TokenManager::Reload(std::int32_t token) {
  CK_SESSION_HANDLE session;
  if (std::int32_t rv = SessionOf(token, &session))
    return rv;
  tokens_[token].Forget();
  return 0;
}

CK_RV TokenManager::FindObjects(CK_SESSION_HANDLE session,
                                std::vector<CK_ATTRIBUTE> match,
                                std::vector<CK_OBJECT_HANDLE>* found) {
  found->clear();
  CK_RV rv =
      functions_->C_FindObjectsInit(session, match.data(), static_cast<CK_ULONG>(match.size()));
  if (rv != CKR_OK)
    return rv;
  CK_OBJECT_HANDLE batch[64];
  CK_ULONG n = 0;
  while ((rv = functions_->C_FindObjects(session, batch, 64, &n)) == CKR_OK && n > 0)
    found->insert(found->end(), batch, batch + n);
  functions_->C_FindObjectsFinal(session);
  return rv;
}

bool TokenManager::ReadAttribute(CK_SESSION_HANDLE session,
                                 CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE_TYPE type,
                                 std::vector<std::uint8_t>* value) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  if (functions_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK ||
      a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
    return false;
  value->assign(a.ulValueLen, 0);
  a.pValue = value->data();
  if (functions_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK)
    return false;
  value->resize(a.ulValueLen);
  return true;
}

bool TokenManager::ReadBool(CK_SESSION_HANDLE session,
                            CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type) {
  std::vector<std::uint8_t> v;
  return ReadAttribute(session, object, type, &v) && v.size() == sizeof(CK_BBOOL) && v[0];
}

CK_RV TokenManager::ReadKeys(CK_SESSION_HANDLE session, std::vector<Key>* out) {
  std::vector<Key>& keys = *out;
  keys.clear();
  for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
    CK_ATTRIBUTE match{CKA_CLASS, &cls, sizeof cls};
    std::vector<CK_OBJECT_HANDLE> handles;
    if (CK_RV rv = FindObjects(session, {match}, &handles))
      return rv;
    for (CK_OBJECT_HANDLE h : handles) {
      Key k{h, {}, {}, 0, {}, cls == CKO_PRIVATE_KEY};
      ReadAttribute(session, h, CKA_ID, &k.id);
      std::vector<std::uint8_t> label;
      if (ReadAttribute(session, h, CKA_LABEL, &label))
        k.label.assign(label.begin(), label.end());
      const bool priv = cls == CKO_PRIVATE_KEY;
      const bool exchange = ReadBool(session, h, priv ? CKA_DECRYPT : CKA_ENCRYPT) ||
                            ReadBool(session, h, priv ? CKA_UNWRAP : CKA_WRAP);
      const bool sign = ReadBool(session, h, priv ? CKA_SIGN : CKA_VERIFY);
      k.keySpec = exchange ? 1 : (sign ? 2 : 0);
      if (!ReadAttribute(session, h, CKA_MODULUS, &k.material))
        ReadAttribute(session, h, CKA_EC_POINT, &k.material);
      auto first = std::find_if(k.material.begin(), k.material.end(), [](auto b) { return b; });
      if (!k.material.empty() && first != k.material.begin() && first != k.material.end())
        k.material.erase(k.material.begin(), first);
      keys.push_back(std::move(k));
    }
  }
  return CKR_OK;
}

CK_RV TokenManager::KeysOf(std::int32_t token,
                           CK_SESSION_HANDLE* session,
                           const std::vector<Key>** keys) {
  if (std::int32_t rv = SessionOf(token, session))
    return static_cast<CK_RV>(rv);
  Token& t = tokens_[token];
  CK_SESSION_INFO info{};
  if (t.keys && functions_->C_GetSessionInfo(*session, &info) != CKR_OK)
    t.Forget();
  if (!t.keys) {
    std::vector<Key> fresh;
    if (CK_RV rv = ReadKeys(*session, &fresh))
      return rv;
    t.keys = std::move(fresh);
  }
  *keys = &*t.keys;
  return CKR_OK;
}

CK_RV TokenManager::CertificatesOf(std::int32_t token, const std::vector<Certificate>** certs) {
  const std::vector<Key>* keys;
  CK_SESSION_HANDLE session;
  if (CK_RV rv = KeysOf(token, &session, &keys))
    return rv;  // checks the session too
  Token& t = tokens_[token];
  if (!t.certs) {
    std::vector<Certificate> fresh;
    if (CK_RV rv = ReadCertificates(session, &fresh))
      return rv;
    t.certs = std::move(fresh);
  }
  *certs = &*t.certs;
  return CKR_OK;
}

CK_RV TokenManager::ContainersOf(std::int32_t token,
                                 CK_SESSION_HANDLE* session,
                                 std::vector<Container>* out) {
  std::vector<Container>& containers = *out;
  containers.clear();
  const std::vector<Key>* found;
  if (CK_RV rv = KeysOf(token, session, &found))
    return rv;
  std::vector<Key> keys = *found;  // private keys first
  // A private key's usage is the true one: many modules give every public key
  // encrypt and verify alike, so a public key only speaks for a container
  // whose private key is hidden (before login) or absent.
  const auto hasPrivate = [&](const Key& k) {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const Key& p) { return p.isPrivate && p.id == k.id; });
  };
  std::erase_if(keys, [&](const Key& k) { return !k.isPrivate && hasPrivate(k); });
  for (Key& k : keys) {
    if (k.keySpec == 0)
      continue;
    auto it = std::find_if(containers.begin(), containers.end(),
                           [&](const Container& c) { return c.id == k.id; });
    if (it == containers.end()) {
      containers.push_back({"", k.id, {}});
      it = containers.end() - 1;
    }
    if (it->name.empty() && !k.label.empty())
      it->name = k.label;
    it->keys.push_back(std::move(k));
  }
  for (auto& c : containers)
    if (c.name.empty())
      c.name = Hex(c.id);
  std::erase_if(containers, [](const Container& c) { return c.name.empty(); });
  return CKR_OK;
}

CK_RV TokenManager::ReadCertificates(CK_SESSION_HANDLE session, std::vector<Certificate>* certs) {
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE type = CKC_X_509;
  certs->clear();
  std::vector<CK_OBJECT_HANDLE> handles;
  if (CK_RV rv = FindObjects(
          session, {{CKA_CLASS, &cls, sizeof cls}, {CKA_CERTIFICATE_TYPE, &type, sizeof type}},
          &handles))
    return rv;
  for (CK_OBJECT_HANDLE h : handles) {
    Certificate c{h, {}};
    ReadAttribute(session, h, CKA_ID, &c.id);
    certs->push_back(std::move(c));
  }
  return CKR_OK;
}

std::int32_t TokenManager::LoadContainers(std::int32_t token, char* names, std::int32_t* length) {
  if (!names || !length || *length < 0)
    return kErrArguments;
  const std::size_t capacity = static_cast<std::size_t>(*length);
  CK_SESSION_HANDLE session;
  std::vector<Container> containers;
  if (CK_RV rv = ContainersOf(token, &session, &containers))
    return static_cast<std::int32_t>(rv);
  std::string list;
  for (const auto& c : containers) {
    list += c.name;
    list += '\0';
  }
  if (list.size() > capacity)
    return kErrBufferTooSmall;
  std::memcpy(names, list.data(), list.size());
  if (list.size() < capacity)
    names[list.size()] = '\0';
  *length = static_cast<std::int32_t>(list.size());
  return 0;
}

std::int32_t TokenManager::FindKey(std::int32_t token,
                                   const std::string& container,
                                   std::int32_t keySpec,
                                   CK_SESSION_HANDLE* session,
                                   Container* foundContainer,
                                   Key* foundKey) {
  std::vector<Container> containers;
  if (CK_RV rv = ContainersOf(token, session, &containers))
    return static_cast<std::int32_t>(rv);
  auto c = std::find_if(containers.begin(), containers.end(),
                        [&](const Container& x) { return x.name == container; });
  if (c == containers.end())
    return kErrNoContainer;
  auto key = std::find_if(c->keys.begin(), c->keys.end(),
                          [&](const Key& k) { return k.keySpec == keySpec; });
  if (key == c->keys.end())
    return kErrNoKey;
  *foundContainer = *c;
  *foundKey = *key;
  return 0;
}

std::int32_t TokenManager::CopyCertificate(CK_SESSION_HANDLE session,
                                           CK_OBJECT_HANDLE object,
                                           unsigned char* data,
                                           std::int32_t* length) {
  std::vector<std::uint8_t> value;
  if (!ReadAttribute(session, object, CKA_VALUE, &value) || value.empty())
    return kErrNoCertificate;
  if (value.size() > static_cast<std::size_t>(*length))
    return kErrBufferTooSmall;
  std::memcpy(data, value.data(), value.size());
  *length = static_cast<std::int32_t>(value.size());
  return 0;
}

std::int32_t TokenManager::GetContainerCert(std::int32_t token,
                                            const std::string& container,
                                            std::int32_t keySpec,
                                            unsigned char* data,
                                            std::int32_t* length) {
  if (!data || !length || *length < 0)
    return kErrArguments;
  CK_SESSION_HANDLE session;
  Container c;
  Key key;
  if (std::int32_t rv = FindKey(token, container, keySpec, &session, &c, &key))
    return rv == kErrNoKey ? kErrNoCertificate : rv;

  const std::vector<Certificate>* certs;
  if (CK_RV rv = CertificatesOf(token, &certs))
    return static_cast<std::int32_t>(rv);
  std::vector<Certificate> candidates;
  for (auto& cert : *certs)
    if (cert.id == c.id)
      candidates.push_back(cert);
  if (candidates.empty())
    return kErrNoCertificate;
  if (key.material.empty())
    return CopyCertificate(session, candidates.front().handle, data, length);
  for (const auto& cert : candidates) {
    std::vector<std::uint8_t> value;
    if (!ReadAttribute(session, cert.handle, CKA_VALUE, &value))
      continue;
    const auto pub = der::CertificatePublicKey(value);
    const bool matches = pub ? (*pub == key.material || Contains(key.material, *pub))
                             : Contains(value, key.material);
    if (matches)
      return CopyCertificate(session, cert.handle, data, length);
  }
  return kErrNoCertificate;
}

std::int32_t TokenManager::GetContainerPubKey(std::int32_t token,
                                              const std::string& container,
                                              std::int32_t keySpec,
                                              std::int32_t* bits,
                                              std::int32_t* exponentLength,
                                              unsigned char* modulus,
                                              std::int32_t* modulusLength) {
  CK_SESSION_HANDLE session;
  Container c;
  Key key;
  if (std::int32_t rv = FindKey(token, container, keySpec, &session, &c, &key))
    return rv == kErrNoKey ? kErrNoContainer : rv;
  std::vector<std::uint8_t> exponent;
  ReadAttribute(session, key.handle, CKA_PUBLIC_EXPONENT, &exponent);
  const std::size_t n = std::min<std::size_t>(key.material.size(), 256);
  if (bits)
    *bits = static_cast<std::int32_t>(key.material.size() * 8);
  if (exponentLength)
    *exponentLength = static_cast<std::int32_t>(exponent.size());
  if (modulus && n)
    std::memcpy(modulus, key.material.data(), n);
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
  CK_SESSION_HANDLE session;
  const std::vector<Key>* keys;
  const std::vector<Certificate>* certs;
  if (CK_RV rv = KeysOf(token, &session, &keys))
    return static_cast<std::int32_t>(rv);
  if (CK_RV rv = CertificatesOf(token, &certs))
    return static_cast<std::int32_t>(rv);
  std::int32_t n = 0;
  for (const auto& cert : *certs) {
    const bool bound =
        !cert.id.empty() &&
        std::any_of(keys->begin(), keys->end(), [&](const Key& k) { return k.id == cert.id; });
    if (bound)
      continue;
    if (n == 65)
      break;
    if (handles)
      handles[n] = static_cast<std::int32_t>(cert.handle);
    ++n;
  }
  *count = n;
  return 0;
}

std::int32_t TokenManager::GetCert(std::int32_t token,
                                   std::int32_t handle,
                                   unsigned char* data,
                                   std::int32_t* length) {
  if (!data || !length || *length < 0)
    return kErrArguments;
  CK_SESSION_HANDLE session;
  if (std::int32_t rv = SessionOf(token, &session))
    return rv;
  std::vector<std::uint8_t> cls;
  const auto object = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(handle));
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  if (!ReadAttribute(session, object, CKA_CLASS, &cls) || cls.size() != sizeof certificate ||
      std::memcmp(cls.data(), &certificate, sizeof certificate) != 0)
    return kErrNoCertificate;
  return CopyCertificate(session, object, data, length);
}

std::int32_t TokenManager::GetPinState(std::int32_t token, std::int32_t kind, std::int32_t* state) {
  if (!state || (kind != 1 && kind != 2))
    return kErrArguments;
  if (!functions_)
    return kErrNotInitialised;
  if (token < 0 || token >= static_cast<std::int32_t>(tokens_.size()))
    return kErrBadToken;
  CK_TOKEN_INFO info{};
  const CK_RV rv = functions_->C_GetTokenInfo(tokens_[token].slot, &info);
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
                                 const std::string& pin,
                                 std::int32_t* triesLeft) {
  CK_SESSION_HANDLE session;
  if (std::int32_t rv = SessionOf(token, &session))
    return rv;
  PinBuffer buffer(pin);
  tokens_[token].Forget();  // private objects come into view
  const CK_RV rv = LoginUser(functions_, session, buffer);
  if (rv == CKR_OK || rv == CKR_PIN_EXPIRED)
    return 0;
  if (triesLeft) {
    CK_TOKEN_INFO info{};
    functions_->C_GetTokenInfo(tokens_[token].slot, &info);
    *triesLeft = (info.flags & CKF_USER_PIN_LOCKED)      ? 0
                 : (info.flags & CKF_USER_PIN_FINAL_TRY) ? 1
                                                         : kTriesAtLeast;
  }
  return static_cast<std::int32_t>(rv);
}

std::int32_t TokenManager::Logout(std::int32_t token) {
  CK_SESSION_HANDLE session;
  if (std::int32_t rv = SessionOf(token, &session))
    return rv;
  tokens_[token].Forget();
  return static_cast<std::int32_t>(functions_->C_Logout(session));
}

std::int32_t TokenManager::ChangeUserPin(std::int32_t token,
                                         const std::string& oldPin,
                                         const std::string& newPin) {
  CK_SESSION_HANDLE session;
  if (std::int32_t rv = SessionOf(token, &session))
    return rv;
  PinBuffer oldBuffer(oldPin), newBuffer(newPin);
  tokens_[token].Forget();
  CK_RV rv = LoginUser(functions_, session, oldBuffer);
  if (rv != CKR_OK && rv != CKR_PIN_EXPIRED)
    return static_cast<std::int32_t>(rv);
  rv = functions_->C_SetPIN(session, oldBuffer.data(), oldBuffer.size(), newBuffer.data(),
                            newBuffer.size());
  functions_->C_Logout(session);
  return static_cast<std::int32_t>(rv);
}

}  // namespace tokenlib
