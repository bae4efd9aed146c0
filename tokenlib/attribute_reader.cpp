#include "attribute_reader.h"

#include <algorithm>

namespace tokenlib {

namespace {

// A length no module writes: an attribute that still carries it after the
// call was not answered.
constexpr CK_ULONG kUnanswered = static_cast<CK_ULONG>(-2);

// Answers about single attributes rather than about the object: some modules
// answer CKR_FUNCTION_FAILED for an attribute that does not suit the object.
bool IsAttributeAnswer(CK_RV rv) {
  return IsPartialAnswer(rv) || rv == CKR_BUFFER_TOO_SMALL || rv == CKR_FUNCTION_FAILED;
}

// The attribute on its own: its size, then its value. An attribute the module
// will not give is absent.
CK_RV ReadAlone(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, Attribute& a) {
  a.value.reset();
  CK_ATTRIBUTE one{a.type, nullptr, 0};
  CK_RV rv = f->C_GetAttributeValue(s, h, &one, 1);
  if (rv != CKR_OK || one.ulValueLen == CK_UNAVAILABLE_INFORMATION)
    return IsAttributeAnswer(rv) ? CKR_OK : rv;
  std::vector<std::uint8_t> value(one.ulValueLen);
  one.pValue = value.data();
  rv = f->C_GetAttributeValue(s, h, &one, 1);
  if (rv != CKR_OK || one.ulValueLen > value.size())
    return IsAttributeAnswer(rv) ? CKR_OK : rv;
  value.resize(one.ulValueLen);
  a.value = std::move(value);
  return CKR_OK;
}

// The attributes still open (pending), in one call for their sizes and one
// for their values; what a module answers only one by one is read alone.
CK_RV ReadPending(CK_FUNCTION_LIST* f,
                  CK_SESSION_HANDLE s,
                  CK_OBJECT_HANDLE h,
                  std::span<Attribute> attributes,
                  const std::vector<std::size_t>& pending) {
  std::vector<std::size_t> alone;
  std::vector<CK_ATTRIBUTE> request;
  for (std::size_t i : pending)
    request.push_back({attributes[i].type, nullptr, kUnanswered});
  CK_RV rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(request.size()));
  if (!IsAttributeAnswer(rv))
    return rv;
  std::vector<std::vector<std::uint8_t>> buffers(pending.size());
  std::vector<CK_ATTRIBUTE> exact;
  std::vector<std::size_t> index;
  for (std::size_t k = 0; k < pending.size(); ++k) {
    const CK_ULONG size = request[k].ulValueLen;
    if (!IsPartialAnswer(rv) || size == kUnanswered) {
      alone.push_back(pending[k]);
    } else if (size != CK_UNAVAILABLE_INFORMATION) {
      buffers[k].assign(size, 0);
      exact.push_back({attributes[pending[k]].type, buffers[k].data(), size});
      index.push_back(k);
    }
  }
  rv = exact.empty()
           ? CKR_OK
           : f->C_GetAttributeValue(s, h, exact.data(), static_cast<CK_ULONG>(exact.size()));
  if (!IsAttributeAnswer(rv))
    return rv;
  for (std::size_t e = 0; e < exact.size(); ++e) {
    const std::size_t k = index[e];
    // Grown between the calls, or not answered in this call: read it alone.
    if (!IsPartialAnswer(rv) || exact[e].ulValueLen > buffers[k].size()) {
      alone.push_back(pending[k]);
      continue;
    }
    buffers[k].resize(exact[e].ulValueLen);
    attributes[pending[k]].value = std::move(buffers[k]);
  }
  for (std::size_t i : alone)
    if (CK_RV single = ReadAlone(f, s, h, attributes[i]))
      return single;
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
    attributes[i].value.reset();
    buffers[i].assign(attributes[i].capacity, 0);
    request[i] = {attributes[i].type, buffers[i].data(), attributes[i].capacity};
  }
  const CK_RV rv = f->C_GetAttributeValue(s, h, request.data(), static_cast<CK_ULONG>(n));
  if (!IsAttributeAnswer(rv))
    return rv;
  // When one attribute failed, a module may name any one of the failures, or
  // stop at the first: a length left as offered may be one it never looked
  // at, and "unavailable" may mean too long as well as absent.
  std::vector<bool> open(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    Attribute& a = attributes[i];
    const CK_ULONG length = request[i].ulValueLen;
    if (rv == CKR_FUNCTION_FAILED || (rv != CKR_OK && length == a.capacity && a.capacity != 0)) {
      open[i] = true;
    } else if (length == CK_UNAVAILABLE_INFORMATION) {
      open[i] = rv != CKR_OK;
    } else if (length > a.capacity) {
      open[i] = true;
    } else {
      buffers[i].resize(length);
      a.value = std::move(buffers[i]);
    }
  }
  // An attribute whose alternative was answered (an RSA key's modulus, an EC
  // key's point) is absent, not too long.
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < n; ++i) {
    const int group = attributes[i].alternatives;
    const bool explained =
        group != 0 && rv != CKR_FUNCTION_FAILED &&
        std::any_of(attributes.begin(), attributes.end(), [&](const Attribute& other) {
          return other.alternatives == group && other.value;
        });
    if (open[i] && !explained)
      pending.push_back(i);
  }
  // A lone unavailable attribute in an answer that is not "too small" is the
  // cause of that answer: absent or secret.
  if (pending.size() == 1 && IsPartialAnswer(rv) &&
      request[pending[0]].ulValueLen == CK_UNAVAILABLE_INFORMATION)
    pending.clear();
  return pending.empty() ? CKR_OK : ReadPending(f, s, h, attributes, pending);
}

}  // namespace tokenlib
