#include "attribute_reader.h"

namespace tokenlib {

namespace {

// A length no module writes: an attribute that still carries it after the
// call was not answered.
constexpr CK_ULONG kUnanswered = static_cast<CK_ULONG>(-2);

// The attribute on its own: its size, then its value.
CK_RV ReadAlone(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, Attribute& a) {
  a.value.reset();
  CK_ATTRIBUTE one{a.type, nullptr, 0};
  CK_RV rv = f->C_GetAttributeValue(s, h, &one, 1);
  if (rv != CKR_OK || one.ulValueLen == CK_UNAVAILABLE_INFORMATION)
    return IsPartialAnswer(rv) ? CKR_OK : rv;
  std::vector<std::uint8_t> value(one.ulValueLen);
  one.pValue = value.data();
  rv = f->C_GetAttributeValue(s, h, &one, 1);
  if (rv != CKR_OK || one.ulValueLen > value.size())
    return IsPartialAnswer(rv) ? CKR_OK : rv;
  value.resize(one.ulValueLen);
  a.value = std::move(value);
  return CKR_OK;
}

}  // namespace

CK_RV ReadAttributes(CK_FUNCTION_LIST* f,
                     CK_SESSION_HANDLE s,
                     CK_OBJECT_HANDLE h,
                     std::span<Attribute> attributes) {
  const std::size_t n = attributes.size();
  std::vector<CK_ULONG> capacity(n);
  for (std::size_t i = 0; i < n; ++i)
    capacity[i] = attributes[i].capacity;
  std::vector<std::vector<std::uint8_t>> buffers(n);
  std::vector<CK_ATTRIBUTE> request(n);
  std::vector<bool> alone(n, false);
  CK_RV rv = CKR_OK;
  for (int round = 0;; ++round) {
    for (std::size_t i = 0; i < n; ++i) {
      buffers[i].assign(capacity[i], 0);
      request[i] = {attributes[i].type, buffers[i].data(), capacity[i]};
    }
    rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(n));
    if (rv != CKR_BUFFER_TOO_SMALL || round > 0)
      break;
    // Ask for the sizes, then read once more with exact buffers.
    for (std::size_t i = 0; i < n; ++i)
      request[i] = {attributes[i].type, nullptr, kUnanswered};
    rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(n));
    if (!IsPartialAnswer(rv))
      return rv;
    for (std::size_t i = 0; i < n; ++i) {
      const CK_ULONG size = request[i].ulValueLen;
      alone[i] = size == kUnanswered;
      capacity[i] = size == CK_UNAVAILABLE_INFORMATION || alone[i] ? 0 : size;
    }
  }
  if (!IsPartialAnswer(rv))
    return rv;
  for (std::size_t i = 0; i < n; ++i) {
    Attribute& a = attributes[i];
    const CK_ULONG length = request[i].ulValueLen;
    // In a partial answer, a length left as offered may be one the module
    // never looked at.
    if (alone[i] || (rv != CKR_OK && length == capacity[i] && capacity[i] != 0)) {
      if (CK_RV single = ReadAlone(f, s, h, a))
        return single;
    } else if (length == CK_UNAVAILABLE_INFORMATION || length > capacity[i]) {
      a.value.reset();
    } else {
      buffers[i].resize(length);
      a.value = std::move(buffers[i]);
    }
  }
  return CKR_OK;
}

}  // namespace tokenlib
