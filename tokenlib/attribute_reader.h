#pragma once
// One object's attributes in as few C_GetAttributeValue calls as the module
// allows: usually one template with buffers sized for the common case.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pkcs11_api.h"

namespace tokenlib {

struct Attribute {
  CK_ATTRIBUTE_TYPE type;
  CK_ULONG capacity;  // the buffer the first call offers
  std::optional<std::vector<std::uint8_t>> value = std::nullopt;  // nothing: absent or sensitive
};

// Fills each attribute's value. An attribute the object lacks or keeps secret
// stays empty (CKR_ATTRIBUTE_TYPE_INVALID and CKR_ATTRIBUTE_SENSITIVE are
// partial answers). On CKR_BUFFER_TOO_SMALL the object is read again with
// exact sizes. Where a module left an attribute unanswered in a partial
// answer (some stop at the first bad one), that attribute is read alone.
// Returns the module's status for anything else (the session or the object
// is gone).
CK_RV ReadAttributes(CK_FUNCTION_LIST* functions,
                     CK_SESSION_HANDLE session,
                     CK_OBJECT_HANDLE object,
                     std::span<Attribute> attributes);

inline bool IsPartialAnswer(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE;
}

}  // namespace tokenlib
