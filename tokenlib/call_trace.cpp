#include "call_trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <sstream>
#include <string_view>

#include "base/pkcs11_names.h"
#include "base/shared_names.h"

namespace tokenlib {

namespace {

struct Trace {
  std::mutex lock;
  CK_FUNCTION_LIST real{};
  CK_FUNCTION_LIST traced{};
  std::string path;
  std::ofstream file;
};

Trace& State() {
  static Trace* trace = new Trace;  // never destroyed: calls may come at unload
  return *trace;
}

std::string Hex(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lX", value);
  return text;
}

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[32] = "";
  if (const std::tm* local = std::localtime(&seconds))  // under the trace's lock
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%s.%03d", text, static_cast<int>(millis));
  return stamp;
}

// Called with the lock held. The file's own size counts, not what this
// process wrote: every program that loads the library (the monitor, a
// signing program) may trace into the same file.
void Write(Trace& t, const std::string& line) {
  const auto full = std::filesystem::u8path(t.path);
  if (!t.file.is_open())
    t.file.open(full, std::ios::binary | std::ios::app);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(full, error);
  if (!error && size + line.size() > kTraceFileCap) {
    t.file.close();
    std::filesystem::rename(full, std::filesystem::u8path(t.path + ".old"), error);
    t.file.open(full, std::ios::binary | std::ios::trunc);
  }
  t.file << line;
  t.file.flush();
}

// Runs one call of the module and writes its line: the name, what went in,
// the return code, what came out, the time taken.
template <class Call, class After>
CK_RV Traced(const char* name, const std::string& in, Call&& call, After&& after) {
  Trace& t = State();
  const auto start = std::chrono::steady_clock::now();
  const CK_RV rv = call(t.real);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::ostringstream line;
  line << name << "(" << in << ") = " << ReturnCodeName(rv);
  const std::string out = after(rv);
  if (!out.empty())
    line << " -> " << out;
  char took[32];
  std::snprintf(took, sizeof took, " [%.3f ms]", ms);
  std::lock_guard guard(t.lock);
  Write(t, Now() + " " + line.str() + took + "\r\n");
  return rv;
}
template <class Call>
CK_RV Traced(const char* name, const std::string& in, Call&& call) {
  return Traced(name, in, call, [](CK_RV) { return std::string(); });
}

// A constant's name, else its value in hex.
std::string NameOr(std::span<const pkcs11::ConstantName> table, CK_ULONG value) {
  const auto name = pkcs11::NameOf(table, value);
  return name ? std::string(*name) : Hex(value);
}

std::string Session(CK_SESSION_HANDLE session) {
  return "session=" + Hex(session);
}

// Types and lengths of a template; the object class by name, as it is no
// secret and tells what was looked for.
std::string Template(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool answered) {
  std::string text = "[";
  for (CK_ULONG i = 0; attributes && i < count; ++i) {
    const CK_ATTRIBUTE& a = attributes[i];
    if (i)
      text += ", ";
    text += AttributeTypeName(a.type) + " ";
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
      text += "unavailable";
    else if (!answered && a.type == CKA_CLASS && a.pValue &&
             a.ulValueLen == sizeof(CK_OBJECT_CLASS))
      text += NameOr(pkcs11::kObjectClasses, *static_cast<const CK_OBJECT_CLASS*>(a.pValue));
    else
      text += std::to_string(a.ulValueLen) + (a.pValue || answered ? "" : " (size asked)");
  }
  return text + "]";
}

CK_RV C_Initialize_(CK_VOID_PTR args) {
  return Traced("C_Initialize", args ? "args" : "NULL",
                [&](CK_FUNCTION_LIST& f) { return f.C_Initialize(args); });
}
CK_RV C_Finalize_(CK_VOID_PTR reserved) {
  return Traced("C_Finalize", "", [&](CK_FUNCTION_LIST& f) { return f.C_Finalize(reserved); });
}
CK_RV C_GetSlotList_(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  return Traced(
      "C_GetSlotList",
      "tokenPresent=" + std::to_string(present) + ", " +
          (slots ? "room=" + std::to_string(count ? *count : 0) : std::string("size asked")),
      [&](CK_FUNCTION_LIST& f) { return f.C_GetSlotList(present, slots, count); },
      [&](CK_RV) {
        std::string out = "count=" + std::to_string(count ? *count : 0);
        for (CK_ULONG i = 0; slots && count && i < *count && i < 16; ++i)
          out += (i ? "," : " slots=") + Hex(slots[i]);
        return out;
      });
}
CK_RV C_GetSlotInfo_(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  return Traced(
      "C_GetSlotInfo", "slot=" + Hex(slot),
      [&](CK_FUNCTION_LIST& f) { return f.C_GetSlotInfo(slot, info); },
      [&](CK_RV rv) { return rv == CKR_OK && info ? "flags=" + Hex(info->flags) : std::string(); });
}
CK_RV C_GetTokenInfo_(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  return Traced(
      "C_GetTokenInfo", "slot=" + Hex(slot),
      [&](CK_FUNCTION_LIST& f) { return f.C_GetTokenInfo(slot, info); },
      [&](CK_RV rv) {
        return rv == CKR_OK && info ? "flags=" + Hex(info->flags) +
                                          " pinLength=" + std::to_string(info->ulMinPinLen) + ".." +
                                          std::to_string(info->ulMaxPinLen)
                                    : std::string();
      });
}
CK_RV C_OpenSession_(CK_SLOT_ID slot,
                     CK_FLAGS flags,
                     CK_VOID_PTR application,
                     CK_NOTIFY notify,
                     CK_SESSION_HANDLE_PTR session) {
  return Traced(
      "C_OpenSession", "slot=" + Hex(slot) + ", flags=" + Hex(flags),
      [&](CK_FUNCTION_LIST& f) {
        return f.C_OpenSession(slot, flags, application, notify, session);
      },
      [&](CK_RV rv) { return rv == CKR_OK && session ? Session(*session) : std::string(); });
}
CK_RV C_CloseSession_(CK_SESSION_HANDLE session) {
  return Traced("C_CloseSession", Session(session),
                [&](CK_FUNCTION_LIST& f) { return f.C_CloseSession(session); });
}
CK_RV C_GetSessionInfo_(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  return Traced(
      "C_GetSessionInfo", Session(session),
      [&](CK_FUNCTION_LIST& f) { return f.C_GetSessionInfo(session, info); },
      [&](CK_RV rv) {
        return rv == CKR_OK && info ? "state=" + std::to_string(info->state) : std::string();
      });
}
// The PIN is never written, nor its length.
CK_RV C_Login_(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  return Traced("C_Login", Session(session) + ", user=" + std::to_string(user) + ", pin=(hidden)",
                [&](CK_FUNCTION_LIST& f) { return f.C_Login(session, user, pin, length); });
}
CK_RV C_Logout_(CK_SESSION_HANDLE session) {
  return Traced("C_Logout", Session(session),
                [&](CK_FUNCTION_LIST& f) { return f.C_Logout(session); });
}
CK_RV C_SetPIN_(CK_SESSION_HANDLE session,
                CK_UTF8CHAR_PTR oldPin,
                CK_ULONG oldLength,
                CK_UTF8CHAR_PTR newPin,
                CK_ULONG newLength) {
  return Traced("C_SetPIN", Session(session) + ", pins=(hidden)", [&](CK_FUNCTION_LIST& f) {
    return f.C_SetPIN(session, oldPin, oldLength, newPin, newLength);
  });
}
CK_RV C_FindObjectsInit_(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  return Traced(
      "C_FindObjectsInit", Session(session) + ", " + Template(attributes, count, false),
      [&](CK_FUNCTION_LIST& f) { return f.C_FindObjectsInit(session, attributes, count); });
}
CK_RV C_FindObjects_(CK_SESSION_HANDLE session,
                     CK_OBJECT_HANDLE_PTR objects,
                     CK_ULONG room,
                     CK_ULONG_PTR found) {
  return Traced(
      "C_FindObjects", Session(session) + ", room=" + std::to_string(room),
      [&](CK_FUNCTION_LIST& f) { return f.C_FindObjects(session, objects, room, found); },
      [&](CK_RV) { return "found=" + std::to_string(found ? *found : 0); });
}
CK_RV C_FindObjectsFinal_(CK_SESSION_HANDLE session) {
  return Traced("C_FindObjectsFinal", Session(session),
                [&](CK_FUNCTION_LIST& f) { return f.C_FindObjectsFinal(session); });
}
CK_RV C_GetAttributeValue_(CK_SESSION_HANDLE session,
                           CK_OBJECT_HANDLE object,
                           CK_ATTRIBUTE_PTR attributes,
                           CK_ULONG count) {
  return Traced(
      "C_GetAttributeValue",
      Session(session) + ", object=" + Hex(object) + ", " + Template(attributes, count, false),
      [&](CK_FUNCTION_LIST& f) {
        return f.C_GetAttributeValue(session, object, attributes, count);
      },
      [&](CK_RV) { return Template(attributes, count, true); });
}

CK_RV C_SignInit_(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return Traced("C_SignInit",
                Session(session) + ", mechanism=" + Hex(mechanism ? mechanism->mechanism : 0) +
                    ", key=" + Hex(key),
                [&](CK_FUNCTION_LIST& f) { return f.C_SignInit(session, mechanism, key); });
}
CK_RV C_DecryptInit_(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return Traced("C_DecryptInit",
                Session(session) + ", mechanism=" + Hex(mechanism ? mechanism->mechanism : 0) +
                    ", key=" + Hex(key),
                [&](CK_FUNCTION_LIST& f) { return f.C_DecryptInit(session, mechanism, key); });
}
// Only lengths: what is signed or decrypted is the user's.
CK_RV C_Sign_(CK_SESSION_HANDLE session,
              CK_BYTE_PTR data,
              CK_ULONG length,
              CK_BYTE_PTR signature,
              CK_ULONG_PTR signatureLength) {
  return Traced(
      "C_Sign", Session(session) + ", length=" + std::to_string(length),
      [&](CK_FUNCTION_LIST& f) {
        return f.C_Sign(session, data, length, signature, signatureLength);
      },
      [&](CK_RV) { return "out=" + std::to_string(signatureLength ? *signatureLength : 0); });
}
CK_RV C_Decrypt_(CK_SESSION_HANDLE session,
                 CK_BYTE_PTR cipher,
                 CK_ULONG length,
                 CK_BYTE_PTR plain,
                 CK_ULONG_PTR plainLength) {
  return Traced(
      "C_Decrypt", Session(session) + ", length=" + std::to_string(length),
      [&](CK_FUNCTION_LIST& f) { return f.C_Decrypt(session, cipher, length, plain, plainLength); },
      [&](CK_RV) { return "out=" + std::to_string(plainLength ? *plainLength : 0); });
}

}  // namespace

std::string TraceFileFromEnvironment() {
  // The shared names are plain ASCII.
  const auto narrow = [](std::wstring_view name) { return std::string(name.begin(), name.end()); };
  const char* value = std::getenv(narrow(names::kModuleTraceVariable).c_str());
  if (!value || !*value || std::string(value) == "0")
    return {};
  if (std::string(value) != "1")
    return value;
  const std::string folder = narrow(names::kLogFolder);
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::u8path(folder), error))
    return {};
  return folder + "\\CorvanexMgr_trace.txt";
}

CK_FUNCTION_LIST* TracedFunctions(CK_FUNCTION_LIST* module, const std::string& path) {
  Trace& t = State();
  std::lock_guard guard(t.lock);
  t.real = *module;
  t.traced = *module;
  if (t.path != path) {
    t.file.close();
    t.path = path;
  }
  t.traced.C_Initialize = C_Initialize_;
  t.traced.C_Finalize = C_Finalize_;
  t.traced.C_GetSlotList = C_GetSlotList_;
  t.traced.C_GetSlotInfo = C_GetSlotInfo_;
  t.traced.C_GetTokenInfo = C_GetTokenInfo_;
  t.traced.C_OpenSession = C_OpenSession_;
  t.traced.C_CloseSession = C_CloseSession_;
  t.traced.C_GetSessionInfo = C_GetSessionInfo_;
  t.traced.C_Login = C_Login_;
  t.traced.C_Logout = C_Logout_;
  t.traced.C_SetPIN = C_SetPIN_;
  t.traced.C_FindObjectsInit = C_FindObjectsInit_;
  t.traced.C_FindObjects = C_FindObjects_;
  t.traced.C_FindObjectsFinal = C_FindObjectsFinal_;
  t.traced.C_GetAttributeValue = C_GetAttributeValue_;
  t.traced.C_SignInit = C_SignInit_;
  t.traced.C_Sign = C_Sign_;
  t.traced.C_DecryptInit = C_DecryptInit_;
  t.traced.C_Decrypt = C_Decrypt_;
  return &t.traced;
}

std::string ReturnCodeName(CK_RV rv) {
  return NameOr(pkcs11::kReturnCodes, rv);
}

std::string AttributeTypeName(CK_ATTRIBUTE_TYPE type) {
  return NameOr(pkcs11::kAttributeTypes, type);
}

}  // namespace tokenlib
