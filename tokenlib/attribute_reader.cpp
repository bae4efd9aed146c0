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
  std::vector<std::vector<std::uint8_t>> buffers(n);
  std::vector<CK_ATTRIBUTE> request(n);
  for (std::size_t i = 0; i < n; ++i) {
    buffers[i].assign(attributes[i].capacity, 0);
    request[i] = {attributes[i].type, buffers[i].data(), attributes[i].capacity};
  }
  CK_RV rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(n));
  std::vector<bool> alone(n, false);
  if (rv == CKR_BUFFER_TOO_SMALL) {
    // Ask for the sizes, then read once more with exact buffers, leaving out
    // what the object lacks and what the module left unanswered.
    for (std::size_t i = 0; i < n; ++i)
      request[i] = {attributes[i].type, nullptr, kUnanswered};
    rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(n));
    if (!IsPartialAnswer(rv))
      return rv;
    std::vector<CK_ATTRIBUTE> exact;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < n; ++i) {
      const CK_ULONG size = request[i].ulValueLen;
      attributes[i].value.reset();
      alone[i] = size == kUnanswered;
      if (alone[i] || size == CK_UNAVAILABLE_INFORMATION)
        continue;
      buffers[i].assign(size, 0);
      exact.push_back({attributes[i].type, buffers[i].data(), size});
      index.push_back(i);
    }
    rv = exact.empty()
             ? CKR_OK
             : f->C_GetAttributeValue(s, h, exact.data(), static_cast<CK_ULONG>(exact.size()));
    if (!IsPartialAnswer(rv))
      return rv;
    for (std::size_t k = 0; k < exact.size(); ++k) {
      Attribute& a = attributes[index[k]];
      if (exact[k].ulValueLen <= buffers[index[k]].size()) {
        buffers[index[k]].resize(exact[k].ulValueLen);
        a.value = std::move(buffers[index[k]]);
      } else {
        alone[index[k]] = true;  // it grew between the calls
      }
    }
  } else {
    if (!IsPartialAnswer(rv))
      return rv;
    for (std::size_t i = 0; i < n; ++i) {
      Attribute& a = attributes[i];
      const CK_ULONG length = request[i].ulValueLen;
      a.value.reset();
      // In a partial answer, a length left as offered may be one the module
      // never looked at.
      if (rv != CKR_OK && length == a.capacity && a.capacity != 0) {
        alone[i] = true;
      } else if (length != CK_UNAVAILABLE_INFORMATION && length <= a.capacity) {
        buffers[i].resize(length);
        a.value = std::move(buffers[i]);
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (alone[i]) {
      if (CK_RV single = ReadAlone(f, s, h, attributes[i]))
        return single;
    }
  return CKR_OK;
}

}  // namespace tokenlib
