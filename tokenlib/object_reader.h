#pragma once
// One read of a token's keys and certificates through a session, formed into
// the library's containers. Shared by the library and the providers; safe to
// use from several threads at once (each read on its own session).
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <tuple>

#include "attribute_reader.h"
#include "code_page.h"
#include "container_model.h"
#include "base/pkcs11_api.h"

namespace tokenlib {

class ObjectReader {
 public:
  // note hears of each object a read had to leave out, once.
  using Note = std::function<void(const std::string&)>;
  ObjectReader(const CodePage& codePage, Note note) : codePage_(codePage), note_(std::move(note)) {}

  // Only a session that went away is an error, which ends the read.
  CK_RV Read(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot, CK_SESSION_HANDLE session, Objects* out);

 private:
  CK_RV ReadKeys(CK_FUNCTION_LIST* functions,
                 CK_SLOT_ID slot,
                 CK_SESSION_HANDLE session,
                 CK_OBJECT_CLASS cls,
                 Objects* out);
  CK_RV ReadCertificates(CK_FUNCTION_LIST* functions,
                         CK_SLOT_ID slot,
                         CK_SESSION_HANDLE session,
                         Objects* out);
  // One object's attributes: read (*read), or left out and noted once.
  CK_RV ReadObject(CK_FUNCTION_LIST* functions,
                   CK_SLOT_ID slot,
                   CK_SESSION_HANDLE session,
                   CK_OBJECT_HANDLE object,
                   std::span<Attribute> attributes,
                   bool* read);

  const CodePage& codePage_;
  Note note_;
  std::mutex notedLock_;  // held only to look up and add, never across a module call
  std::set<std::tuple<CK_SLOT_ID, CK_OBJECT_HANDLE, CK_RV>> noted_;
};

// Every object of class cls, with Init/Find/Final paired.
CK_RV FindAllObjects(CK_FUNCTION_LIST* functions,
                     CK_SESSION_HANDLE session,
                     CK_OBJECT_CLASS cls,
                     std::vector<CK_OBJECT_HANDLE>* found);

// The module's ways of saying the session, or the token under it, is gone.
inline bool IsSessionGone(CK_RV rv) {
  return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_REMOVED ||
         rv == CKR_TOKEN_NOT_PRESENT;
}

}  // namespace tokenlib
