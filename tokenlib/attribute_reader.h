#pragma once
// One object's attributes in as few C_GetAttributeValue calls as the module
// allows: usually one template with buffers sized for the common case.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/pkcs11_api.h"

namespace tokenlib {

struct Attribute {
  CK_ATTRIBUTE_TYPE type;
  CK_ULONG capacity;  // the buffer the first call offers
  // Attributes with the same non-zero number exclude each other (an RSA key's
  // modulus and an EC key's point): one answered explains the others' absence.
  int alternatives = 0;
  std::optional<std::vector<std::uint8_t>> value = std::nullopt;  // nothing: absent or sensitive
};

// Fills each attribute's value. An attribute the object lacks or keeps secret
// stays empty (CKR_ATTRIBUTE_TYPE_INVALID and CKR_ATTRIBUTE_SENSITIVE are
// partial answers, CKR_FUNCTION_FAILED some modules' word for an attribute
// that does not suit the object). What did not fit its buffer is read again
// at its exact size; what a module left unanswered is asked again, alone if
// need be. Returns the module's status for anything that is not about an
// attribute (the session or the object is gone).
CK_RV ReadAttributes(CK_FUNCTION_LIST* functions,
                     CK_SESSION_HANDLE session,
                     CK_OBJECT_HANDLE object,
                     std::span<Attribute> attributes);

inline bool IsPartialAnswer(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE;
}

}  // namespace tokenlib
