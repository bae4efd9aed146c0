// The virtual token as a PKCS#11 module: enough for CorvanexMgr.dll and for
// OpenSC's pkcs11-tool to list, log in and change the PIN. Everything else
// answers CKR_FUNCTION_NOT_SUPPORTED. State lives in files (token_state.h),
// looked at on each call, so plugging and unplugging show at once.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <map>
#include <mutex>
#include <utility>

#include "token_state.h"

#if defined(_WIN32)
#define VTOKEN_EXPORT extern "C" __declspec(dllexport)
#else
#define VTOKEN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vtoken {
namespace {

struct Session {
  CK_SLOT_ID slot;
  std::string folder;  // the token the session was opened on
  int insertion;       // and its insertion
  CK_FLAGS flags;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t next = 0;
  bool finding = false;
  CK_OBJECT_HANDLE signing = CK_INVALID_HANDLE;  // the key of C_SignInit
  CK_OBJECT_HANDLE decrypting = CK_INVALID_HANDLE;
  bool contextLoginDue = false;  // the active operation's key wants the PIN first
};

std::mutex g_mutex;
bool g_initialised = false;
std::map<CK_SESSION_HANDLE, Session> g_sessions;
std::map<std::string, bool> g_loggedIn;  // by LoginKey
std::map<CK_SLOT_ID, CK_TOKEN_INFO> g_lastTokenInfo;

// A login lasts while the token stays in: keyed by folder and insertion.
std::string LoginKey(const Session& s) {
  return s.folder + "#" + std::to_string(s.insertion);
}

int InsertionOf(CK_SLOT_ID slot) {
  const Config config = LoadConfig();
  return slot < config.insertions.size() ? config.insertions[slot] : 0;
}

void EndSession(std::map<CK_SESSION_HANDLE, Session>::iterator it) {
  const std::string key = LoginKey(it->second);
  g_sessions.erase(it);
  if (std::none_of(g_sessions.begin(), g_sessions.end(),
                   [&](const auto& s) { return LoginKey(s.second) == key; }))
    g_loggedIn.erase(key);
}
CK_SESSION_HANDLE g_nextSession = 1;

void Pad(CK_UTF8CHAR* out, std::size_t size, const std::string& text) {
  std::memset(out, ' ', size);
  std::memcpy(out, text.data(), std::min(size, text.size()));
}

// The session's token as it is now, or the reason it is gone.
CK_RV TokenOf(CK_SESSION_HANDLE h, Session** session, std::optional<Token>* token) {
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  auto it = g_sessions.find(h);
  if (it == g_sessions.end())
    return CKR_SESSION_HANDLE_INVALID;
  // A token pulled out ends its sessions: the first call hears that the
  // device went, later ones that the handle is no longer valid.
  if (SlotFolder(it->second.slot) != it->second.folder ||
      InsertionOf(it->second.slot) != it->second.insertion) {
    EndSession(it);
    return CKR_DEVICE_REMOVED;
  }
  *session = &it->second;
  *token = LoadToken(it->second.folder);
  if (!*token) {
    EndSession(it);
    return CKR_DEVICE_REMOVED;
  }
  return CKR_OK;
}

bool LoggedIn(const Session& s) {
  auto it = g_loggedIn.find(LoginKey(s));
  return it != g_loggedIn.end() && it->second;
}

const Object* FindObject(const Token& t, CK_OBJECT_HANDLE h) {
  for (const auto& o : *t.objects)
    if (o.handle == h)
      return &o;
  return nullptr;
}

enum class Answer { kValue, kAbsent, kSensitive };

// One attribute's bytes, or false when the object has no such attribute.
bool AttributeBytes(const Object& o, CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>* out);

Answer AttributeAnswer(const Object& o, CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>* out) {
  if (o.isPrivate && type == CKA_PRIVATE_EXPONENT)
    return Answer::kSensitive;
  return AttributeBytes(o, type, out) ? Answer::kValue : Answer::kAbsent;
}

bool AttributeBytes(const Object& o, CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>* out) {
  const auto put = [&](const void* p, std::size_t n) {
    out->assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    return true;
  };
  const auto putBool = [&](bool b) {
    const CK_BBOOL v = b ? CK_TRUE : CK_FALSE;
    return put(&v, sizeof v);
  };
  const auto putUlong = [&](CK_ULONG v) { return put(&v, sizeof v); };
  const bool isKey = o.cls == CKO_PUBLIC_KEY || o.cls == CKO_PRIVATE_KEY;
  const bool isPublicKey = o.cls == CKO_PUBLIC_KEY, isPrivateKey = o.cls == CKO_PRIVATE_KEY;
  static const std::uint8_t kExponent[] = {0x01, 0x00, 0x01};
  switch (type) {
    case CKA_CLASS:
      return putUlong(o.cls);
    case CKA_TOKEN:
      return putBool(true);
    case CKA_PRIVATE:
      return putBool(o.isPrivate);
    case CKA_SENSITIVE:
    case CKA_ALWAYS_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
      return isPrivateKey && putBool(true);
    case CKA_EXTRACTABLE:
      return isPrivateKey && putBool(false);
    case CKA_DECRYPT:
    case CKA_UNWRAP:
      return isPrivateKey && putBool(o.exchange);
    case CKA_SIGN:
      return isPrivateKey && putBool(true);
    case CKA_SIGN_RECOVER:
      return isPrivateKey && putBool(false);
    case CKA_ALWAYS_AUTHENTICATE:
      return isPrivateKey && putBool(o.alwaysAuthenticate);
    case CKA_PUBLIC_EXPONENT:
      return isKey && put(kExponent, sizeof kExponent);
    case CKA_MODIFIABLE:
      return putBool(false);
    case CKA_ID:
      return put(o.id.data(), o.id.size());
    case CKA_LABEL:
      return put(o.label.data(), o.label.size());
    case CKA_CERTIFICATE_TYPE:
      return o.cls == CKO_CERTIFICATE && putUlong(CKC_X_509);
    case CKA_VALUE:
      return o.cls == CKO_CERTIFICATE && put(o.value.data(), o.value.size());
    case CKA_TRUSTED:
      return o.cls == CKO_CERTIFICATE && putBool(false);
    case CKA_KEY_TYPE:
      return isKey && putUlong(CKK_RSA);
    case CKA_MODULUS:
      return isKey && put(o.modulus.data(), o.modulus.size());
    case CKA_MODULUS_BITS:
      return isKey && putUlong(o.modulus.size() * 8);
    case CKA_ENCRYPT:
    case CKA_WRAP:
    case CKA_VERIFY:
      // As many modules make them: every public key allowed both uses.
      return isPublicKey && putBool(true);
    case CKA_VERIFY_RECOVER:
      return isPublicKey && putBool(false);
    case CKA_DERIVE:
      return isKey && putBool(false);
    case CKA_LOCAL:
      return isKey && putBool(false);
    default:
      return false;
  }
}

bool Matches(const Object& o, const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    std::vector<std::uint8_t> value;
    if (!AttributeBytes(o, tmpl[i].type, &value))
      return false;
    if (value.size() != tmpl[i].ulValueLen)
      return false;
    if (!value.empty() && std::memcmp(value.data(), tmpl[i].pValue, value.size()) != 0)
      return false;
  }
  return true;
}

// Whether the module is started and slot is one of its slots.
CK_RV CheckSlot(CK_SLOT_ID slot) {
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  return slot < LoadConfig().slotFolders.size() ? CKR_OK : CKR_SLOT_ID_INVALID;
}

template <class F>
struct NotSupported;
template <class... A>
struct NotSupported<CK_RV (*)(A...)> {
  static CK_RV Call(A...) { return CKR_FUNCTION_NOT_SUPPORTED; }
};

// The arguments as a real module reads them: either all four mutex
// functions or none; pReserved must be null; OS locking may be refused.
CK_RV Initialize(void* arguments) {
  if (const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(arguments)) {
    const int mutexFunctions = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                               (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
    if (args->pReserved || (mutexFunctions != 0 && mutexFunctions != 4))
      return CKR_ARGUMENTS_BAD;
    if ((args->flags & CKF_OS_LOCKING_OK) && mutexFunctions == 0 && !LoadConfig().osLocking)
      return CKR_CANT_LOCK;
  }
  std::lock_guard lock(g_mutex);
  if (g_initialised)
    return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  g_initialised = true;
  return CKR_OK;
}

CK_RV Finalize(void* reserved) {
  if (reserved)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  g_sessions.clear();
  g_loggedIn.clear();
  g_initialised = false;
  return CKR_OK;
}

CK_RV GetInfo(CK_INFO* info) {
  if (!info)
    return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 40};
  Pad(info->manufacturerID, sizeof info->manufacturerID, "CorvanexE test tools");
  Pad(info->libraryDescription, sizeof info->libraryDescription, "Virtual token");
  info->libraryVersion = {1, 0};
  return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
  if (!count)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  const Config config = LoadConfig();
  std::vector<CK_SLOT_ID> slots;
  for (CK_SLOT_ID i = 0; i < config.slotFolders.size(); ++i)
    if (!present || !SlotFolder(i).empty())
      slots.push_back(i);
  if (!list && !config.plugBetweenCalls.empty())
    PlugIntoFirstEmptySlot(config.plugBetweenCalls);  // arrives after the size was given
  if (list) {
    if (*count < slots.size()) {
      *count = slots.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(slots.begin(), slots.end(), list);
  }
  *count = slots.size();
  return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
  if (!info)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  if (CK_RV rv = CheckSlot(slot))
    return rv;
  std::memset(info, 0, sizeof *info);
  Pad(info->slotDescription, sizeof info->slotDescription, "Virtual slot " + std::to_string(slot));
  Pad(info->manufacturerID, sizeof info->manufacturerID, "CorvanexE test tools");
  info->flags =
      CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (SlotFolder(slot).empty() ? 0 : CKF_TOKEN_PRESENT);
  return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  if (!info)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  if (CK_RV rv = CheckSlot(slot))
    return rv;
  const auto token = LoadToken(SlotFolder(slot));
  if (!token) {
    auto last = g_lastTokenInfo.find(slot);
    if (last == g_lastTokenInfo.end() || !LoadConfig().staleTokenInfo)
      return CKR_TOKEN_NOT_PRESENT;
    *info = last->second;  // what a module with a cache still believes
    return CKR_OK;
  }
  std::memset(info, 0, sizeof *info);
  Pad(info->label, sizeof info->label, token->label);
  Pad(info->manufacturerID, sizeof info->manufacturerID, token->manufacturer);
  Pad(info->model, sizeof info->model, token->model);
  Pad(info->serialNumber, sizeof info->serialNumber, token->serial);
  info->flags = token->Flags();
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxPinLen = token->maxPinLen;
  info->ulMinPinLen = token->minPinLen;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  g_lastTokenInfo[slot] = *info;
  return CKR_OK;
}

CK_RV GetMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
  if (!count)
    return CKR_ARGUMENTS_BAD;
  if (list && *count < 1) {
    *count = 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list)
    list[0] = CKM_RSA_PKCS;
  *count = 1;
  return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* out) {
  if (!out)
    return CKR_ARGUMENTS_BAD;
  if (!(flags & CKF_SERIAL_SESSION))
    return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  std::lock_guard lock(g_mutex);
  if (CK_RV rv = CheckSlot(slot))
    return rv;
  const std::string folder = SlotFolder(slot);
  if (folder.empty())
    return CKR_TOKEN_NOT_PRESENT;
  *out = g_nextSession++;
  g_sessions[*out] = Session{slot, folder, InsertionOf(slot), flags, {}, 0, false};
  return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
  std::lock_guard lock(g_mutex);
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  auto it = g_sessions.find(h);
  if (it == g_sessions.end())
    return CKR_SESSION_HANDLE_INVALID;
  EndSession(it);
  return CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
  std::lock_guard lock(g_mutex);
  if (!g_initialised)
    return CKR_CRYPTOKI_NOT_INITIALIZED;
  for (auto it = g_sessions.begin(); it != g_sessions.end();)
    it->second.slot == slot ? EndSession(it++) : void(++it);
  return CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO* info) {
  if (!info)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  const bool rw = s->flags & CKF_RW_SESSION;
  const bool user = LoggedIn(*s);
  info->slotID = s->slot;
  info->flags = s->flags;
  info->state = user ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                     : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
  info->ulDeviceError = 0;
  return CKR_OK;
}

CK_RV CheckPin(Token& t, const CK_UTF8CHAR* pin, CK_ULONG len) {
  if (t.triesLeft <= 0)
    return CKR_PIN_LOCKED;
  if (std::string(reinterpret_cast<const char*>(pin), pin ? len : 0) == t.userPin) {
    if (t.triesLeft != t.maxTries) {
      t.triesLeft = t.maxTries;
      t.SavePinState();
    }
    return CKR_OK;
  }
  --t.triesLeft;
  t.SavePinState();
  return t.triesLeft <= 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG len) {
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (user == CKU_CONTEXT_SPECIFIC) {
    if (!s->contextLoginDue)
      return CKR_OPERATION_NOT_INITIALIZED;
    const CK_RV rv = CheckPin(*t, pin, len);
    if (rv == CKR_OK)
      s->contextLoginDue = false;
    return rv;
  }
  if (user != CKU_USER)
    return CKR_USER_TYPE_INVALID;
  if (LoggedIn(*s))
    return CKR_USER_ALREADY_LOGGED_IN;
  const CK_RV rv = CheckPin(*t, pin, len);
  if (rv != CKR_OK)
    return rv;
  g_loggedIn[LoginKey(*s)] = true;
  // Tokens that force a change of the default PIN say so at login.
  return t->pinIsDefault && LoadConfig().pinExpired ? CKR_PIN_EXPIRED : CKR_OK;
}

CK_RV Logout(CK_SESSION_HANDLE h) {
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (!LoggedIn(*s))
    return CKR_USER_NOT_LOGGED_IN;
  g_loggedIn[LoginKey(*s)] = false;
  return CKR_OK;
}

CK_RV SetPIN(CK_SESSION_HANDLE h,
             CK_UTF8CHAR* oldPin,
             CK_ULONG oldLen,
             CK_UTF8CHAR* newPin,
             CK_ULONG newLen) {
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (!(s->flags & CKF_RW_SESSION))
    return CKR_SESSION_READ_ONLY;
  if (CK_RV rv = CheckPin(*t, oldPin, oldLen))
    return rv;
  if (newLen < static_cast<CK_ULONG>(t->minPinLen) || newLen > static_cast<CK_ULONG>(t->maxPinLen))
    return CKR_PIN_LEN_RANGE;
  t->userPin.assign(reinterpret_cast<const char*>(newPin), newLen);
  t->pinIsDefault = false;
  return t->SavePinState() ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (count && !tmpl)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (s->finding)
    return CKR_OPERATION_ACTIVE;
  s->found.clear();
  const bool user = LoggedIn(*s);
  if (ObjectsReadable(LoadConfig()))
    for (const auto& o : *t->objects)
      if ((user || !o.isPrivate) && Matches(o, tmpl, count))
        s->found.push_back(o.handle);
  s->next = 0;
  s->finding = true;
  return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* count) {
  if (!out || !count)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (!s->finding)
    return CKR_OPERATION_NOT_INITIALIZED;
  *count = 0;
  while (*count < max && s->next < s->found.size())
    out[(*count)++] = s->found[s->next++];
  return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  if (!s->finding)
    return CKR_OPERATION_NOT_INITIALIZED;
  s->finding = false;
  return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h,
                        CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* tmpl,
                        CK_ULONG count) {
  if (count && !tmpl)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  const Object* o = FindObject(*t, object);
  if (!o || (o->isPrivate && !LoggedIn(*s)))
    return CKR_OBJECT_HANDLE_INVALID;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    std::vector<std::uint8_t> value;
    const Answer answer = AttributeAnswer(*o, tmpl[i].type, &value);
    if (answer != Answer::kValue) {
      tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (result == CKR_OK || result == CKR_ATTRIBUTE_TYPE_INVALID)
        result =
            answer == Answer::kSensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (!tmpl[i].pValue) {
      tmpl[i].ulValueLen = value.size();
    } else if (tmpl[i].ulValueLen < value.size()) {
      tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_BUFFER_TOO_SMALL;  // outranks the partial answers
    } else {
      if (!value.empty())
        std::memcpy(tmpl[i].pValue, value.data(), value.size());
      tmpl[i].ulValueLen = value.size();
    }
  }
  return result;
}

// C_SignInit and C_DecryptInit: CKM_RSA_PKCS with a private key the
// logged-in user may use so.
CK_RV StartKeyOperation(CK_SESSION_HANDLE h,
                        CK_MECHANISM* mechanism,
                        CK_OBJECT_HANDLE key,
                        bool decrypt) {
  if (!mechanism)
    return CKR_ARGUMENTS_BAD;
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  CK_OBJECT_HANDLE& active = decrypt ? s->decrypting : s->signing;
  if (active != CK_INVALID_HANDLE)
    return CKR_OPERATION_ACTIVE;
  if (mechanism->mechanism != CKM_RSA_PKCS)
    return CKR_MECHANISM_INVALID;
  if (mechanism->pParameter || mechanism->ulParameterLen)
    return CKR_MECHANISM_PARAM_INVALID;
  const Object* o = FindObject(*t, key);
  if (!o || (o->isPrivate && !LoggedIn(*s)))
    return CKR_KEY_HANDLE_INVALID;
  if (o->cls != CKO_PRIVATE_KEY)
    return CKR_KEY_TYPE_INCONSISTENT;
  if (!o->key || (decrypt && !o->exchange))
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
  active = key;
  s->contextLoginDue = o->alwaysAuthenticate;
  return CKR_OK;
}

// C_Sign and C_Decrypt, in one part. A length query, or a buffer too small,
// keeps the operation; every other answer ends it.
CK_RV FinishKeyOperation(CK_SESSION_HANDLE h,
                         const CK_BYTE* in,
                         CK_ULONG inLength,
                         CK_BYTE* out,
                         CK_ULONG* outLength,
                         bool decrypt) {
  std::lock_guard lock(g_mutex);
  Session* s;
  std::optional<Token> t;
  if (CK_RV rv = TokenOf(h, &s, &t))
    return rv;
  CK_OBJECT_HANDLE& active = decrypt ? s->decrypting : s->signing;
  if (active == CK_INVALID_HANDLE)
    return CKR_OPERATION_NOT_INITIALIZED;
  const Object* o = FindObject(*t, std::exchange(active, CK_INVALID_HANDLE));
  if (!in || !outLength)
    return CKR_ARGUMENTS_BAD;
  if (std::exchange(s->contextLoginDue, false))
    return CKR_USER_NOT_LOGGED_IN;
  if (!o || !o->key)
    return CKR_KEY_HANDLE_INVALID;  // the token's files changed meanwhile
  const std::string_view input(reinterpret_cast<const char*>(in), inLength);
  if (decrypt && inLength != o->key->Size())
    return CKR_ENCRYPTED_DATA_LEN_RANGE;
  const auto result = decrypt ? o->key->Decrypt(input) : o->key->Sign(input);
  if (!result)
    return decrypt ? CKR_ENCRYPTED_DATA_INVALID : CKR_DATA_LEN_RANGE;
  if (!out || *outLength < result->size()) {
    active = o->handle;
    const bool query = !out;
    *outLength = result->size();
    return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, result->data(), result->size());
  *outLength = result->size();
  return CKR_OK;
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  return StartKeyOperation(h, mechanism, key, false);
}
// A slow token (signDelayMs) takes its time outside the module's lock, as a
// module with a lock per reader would.
void TakeTokensTime(CK_SESSION_HANDLE h) {
  int delay = 0;
  {
    std::lock_guard lock(g_mutex);
    Session* s;
    std::optional<Token> t;
    if (TokenOf(h, &s, &t) == CKR_OK)
      delay = t->signDelayMs;
  }
  if (delay > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE* data, CK_ULONG length, CK_BYTE* out, CK_ULONG* outLength) {
  TakeTokensTime(h);
  return FinishKeyOperation(h, data, length, out, outLength, false);
}
CK_RV DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  return StartKeyOperation(h, mechanism, key, true);
}
CK_RV Decrypt(CK_SESSION_HANDLE h,
              CK_BYTE* data,
              CK_ULONG length,
              CK_BYTE* out,
              CK_ULONG* outLength) {
  TakeTokensTime(h);
  return FinishKeyOperation(h, data, length, out, outLength, true);
}

CK_RV GetFunctionList(CK_FUNCTION_LIST** out);

// No exception ever leaves a function of the module: whatever escapes (a
// state file that cannot be read, a folder where a file should be) becomes
// CKR_GENERAL_ERROR.
template <auto Fn>
struct Gate;
template <class... A, CK_RV (*Fn)(A...)>
struct Gate<Fn> {
  static CK_RV Call(A... args) {
    try {
      return Fn(args...);
    } catch (...) {
      return CKR_GENERAL_ERROR;
    }
  }
};

CK_FUNCTION_LIST MakeFunctionList() {
  CK_FUNCTION_LIST f{};
  f.version = {2, 40};
  f.C_InitToken = &NotSupported<decltype(f.C_InitToken)>::Call;
  f.C_InitPIN = &NotSupported<decltype(f.C_InitPIN)>::Call;
  f.C_GetMechanismInfo = &NotSupported<decltype(f.C_GetMechanismInfo)>::Call;
  f.C_GetOperationState = &NotSupported<decltype(f.C_GetOperationState)>::Call;
  f.C_SetOperationState = &NotSupported<decltype(f.C_SetOperationState)>::Call;
  f.C_CreateObject = &NotSupported<decltype(f.C_CreateObject)>::Call;
  f.C_CopyObject = &NotSupported<decltype(f.C_CopyObject)>::Call;
  f.C_DestroyObject = &NotSupported<decltype(f.C_DestroyObject)>::Call;
  f.C_GetObjectSize = &NotSupported<decltype(f.C_GetObjectSize)>::Call;
  f.C_SetAttributeValue = &NotSupported<decltype(f.C_SetAttributeValue)>::Call;
  f.C_EncryptInit = &NotSupported<decltype(f.C_EncryptInit)>::Call;
  f.C_Encrypt = &NotSupported<decltype(f.C_Encrypt)>::Call;
  f.C_EncryptUpdate = &NotSupported<decltype(f.C_EncryptUpdate)>::Call;
  f.C_EncryptFinal = &NotSupported<decltype(f.C_EncryptFinal)>::Call;
  f.C_DecryptInit = &Gate<DecryptInit>::Call;
  f.C_Decrypt = &Gate<Decrypt>::Call;
  f.C_DecryptUpdate = &NotSupported<decltype(f.C_DecryptUpdate)>::Call;
  f.C_DecryptFinal = &NotSupported<decltype(f.C_DecryptFinal)>::Call;
  f.C_DigestInit = &NotSupported<decltype(f.C_DigestInit)>::Call;
  f.C_Digest = &NotSupported<decltype(f.C_Digest)>::Call;
  f.C_DigestUpdate = &NotSupported<decltype(f.C_DigestUpdate)>::Call;
  f.C_DigestKey = &NotSupported<decltype(f.C_DigestKey)>::Call;
  f.C_DigestFinal = &NotSupported<decltype(f.C_DigestFinal)>::Call;
  f.C_SignInit = &Gate<SignInit>::Call;
  f.C_Sign = &Gate<Sign>::Call;
  f.C_SignUpdate = &NotSupported<decltype(f.C_SignUpdate)>::Call;
  f.C_SignFinal = &NotSupported<decltype(f.C_SignFinal)>::Call;
  f.C_SignRecoverInit = &NotSupported<decltype(f.C_SignRecoverInit)>::Call;
  f.C_SignRecover = &NotSupported<decltype(f.C_SignRecover)>::Call;
  f.C_VerifyInit = &NotSupported<decltype(f.C_VerifyInit)>::Call;
  f.C_Verify = &NotSupported<decltype(f.C_Verify)>::Call;
  f.C_VerifyUpdate = &NotSupported<decltype(f.C_VerifyUpdate)>::Call;
  f.C_VerifyFinal = &NotSupported<decltype(f.C_VerifyFinal)>::Call;
  f.C_VerifyRecoverInit = &NotSupported<decltype(f.C_VerifyRecoverInit)>::Call;
  f.C_VerifyRecover = &NotSupported<decltype(f.C_VerifyRecover)>::Call;
  f.C_DigestEncryptUpdate = &NotSupported<decltype(f.C_DigestEncryptUpdate)>::Call;
  f.C_DecryptDigestUpdate = &NotSupported<decltype(f.C_DecryptDigestUpdate)>::Call;
  f.C_SignEncryptUpdate = &NotSupported<decltype(f.C_SignEncryptUpdate)>::Call;
  f.C_DecryptVerifyUpdate = &NotSupported<decltype(f.C_DecryptVerifyUpdate)>::Call;
  f.C_GenerateKey = &NotSupported<decltype(f.C_GenerateKey)>::Call;
  f.C_GenerateKeyPair = &NotSupported<decltype(f.C_GenerateKeyPair)>::Call;
  f.C_WrapKey = &NotSupported<decltype(f.C_WrapKey)>::Call;
  f.C_UnwrapKey = &NotSupported<decltype(f.C_UnwrapKey)>::Call;
  f.C_DeriveKey = &NotSupported<decltype(f.C_DeriveKey)>::Call;
  f.C_SeedRandom = &NotSupported<decltype(f.C_SeedRandom)>::Call;
  f.C_GenerateRandom = &NotSupported<decltype(f.C_GenerateRandom)>::Call;
  f.C_GetFunctionStatus = &NotSupported<decltype(f.C_GetFunctionStatus)>::Call;
  f.C_CancelFunction = &NotSupported<decltype(f.C_CancelFunction)>::Call;
  f.C_WaitForSlotEvent = &NotSupported<decltype(f.C_WaitForSlotEvent)>::Call;
  f.C_Initialize = &Gate<Initialize>::Call;
  f.C_Finalize = &Gate<Finalize>::Call;
  f.C_GetInfo = &Gate<GetInfo>::Call;
  f.C_GetFunctionList = &Gate<GetFunctionList>::Call;
  f.C_GetSlotList = &Gate<GetSlotList>::Call;
  f.C_GetSlotInfo = &Gate<GetSlotInfo>::Call;
  f.C_GetTokenInfo = &Gate<GetTokenInfo>::Call;
  f.C_GetMechanismList = &Gate<GetMechanismList>::Call;
  f.C_OpenSession = &Gate<OpenSession>::Call;
  f.C_CloseSession = &Gate<CloseSession>::Call;
  f.C_CloseAllSessions = &Gate<CloseAllSessions>::Call;
  f.C_GetSessionInfo = &Gate<GetSessionInfo>::Call;
  f.C_Login = &Gate<Login>::Call;
  f.C_Logout = &Gate<Logout>::Call;
  f.C_SetPIN = &Gate<SetPIN>::Call;
  f.C_FindObjectsInit = &Gate<FindObjectsInit>::Call;
  f.C_FindObjects = &Gate<FindObjects>::Call;
  f.C_FindObjectsFinal = &Gate<FindObjectsFinal>::Call;
  f.C_GetAttributeValue = &Gate<GetAttributeValue>::Call;
  return f;
}

CK_RV GetFunctionList(CK_FUNCTION_LIST** out) {
  static CK_FUNCTION_LIST list = MakeFunctionList();
  if (!out)
    return CKR_ARGUMENTS_BAD;
  *out = &list;
  return CKR_OK;
}

}  // namespace
}  // namespace vtoken

VTOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST** out) {
  return vtoken::Gate<vtoken::GetFunctionList>::Call(out);
}
