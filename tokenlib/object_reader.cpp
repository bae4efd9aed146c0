#include "object_reader.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace tokenlib {

namespace {

std::string Hex32(CK_RV value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value & 0xFFFFFFFFul));
  return text;
}

}  // namespace

CK_RV FindAllObjects(CK_FUNCTION_LIST* functions,
                     CK_SESSION_HANDLE session,
                     CK_OBJECT_CLASS cls,
                     std::vector<CK_OBJECT_HANDLE>* found) {
  CK_ATTRIBUTE match{CKA_CLASS, &cls, sizeof cls};
  found->clear();
  if (CK_RV rv = functions->C_FindObjectsInit(session, &match, 1))
    return rv;
  CK_OBJECT_HANDLE batch[512];
  CK_ULONG n = 0;
  CK_RV rv;
  while ((rv = functions->C_FindObjects(session, batch, std::size(batch), &n)) == CKR_OK && n > 0)
    found->insert(found->end(), batch, batch + std::min<CK_ULONG>(n, std::size(batch)));
  const CK_RV final = functions->C_FindObjectsFinal(session);
  return rv != CKR_OK ? rv : final;
}

CK_RV ObjectReader::ReadObject(CK_FUNCTION_LIST* functions,
                               CK_SLOT_ID slot,
                               CK_SESSION_HANDLE session,
                               CK_OBJECT_HANDLE object,
                               std::span<Attribute> attributes,
                               bool* read) {
  const CK_RV rv = ReadAttributes(functions, session, object, attributes);
  *read = rv == CKR_OK;
  if (rv == CKR_OK || IsSessionGone(rv))
    return rv;
  // An object the module will not describe (deleted since the search, or
  // refused) is left out of this read; the others go on.
  bool first;
  {
    std::lock_guard hold(notedLock_);
    first = noted_.insert({slot, object, rv}).second;
  }
  if (first)
    note_("CorvanexMgr: object " + std::to_string(object) + " in slot " + std::to_string(slot) +
          " left out: the module answered 0x" + Hex32(rv));
  return CKR_OK;
}

CK_RV ObjectReader::Read(CK_FUNCTION_LIST* functions,
                         CK_SLOT_ID slot,
                         CK_SESSION_HANDLE session,
                         Objects* out) {
  for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY})
    if (CK_RV rv = ReadKeys(functions, slot, session, cls, out))
      return rv;
  if (CK_RV rv = ReadCertificates(functions, slot, session, out))
    return rv;
  FormContainers(*out, codePage_, UtcNowText());
  return CKR_OK;
}

CK_RV ObjectReader::ReadKeys(CK_FUNCTION_LIST* functions,
                             CK_SLOT_ID slot,
                             CK_SESSION_HANDLE session,
                             CK_OBJECT_CLASS cls,
                             Objects* out) {
  std::vector<CK_OBJECT_HANDLE> handles;
  if (CK_RV rv = FindAllObjects(functions, session, cls, &handles))
    return rv;
  const bool priv = cls == CKO_PRIVATE_KEY;
  for (CK_OBJECT_HANDLE h : handles) {
    // What decides a key's container and use, and its public material.
    enum {
      kId,
      kLabel,
      kDecrypts,
      kUnwraps,
      kSigns,
      kModulus,
      kExponent,
      kEcPoint,
      kAlwaysAuthenticate
    };
    constexpr int kKeyMaterial = 1;  // an RSA modulus or an EC point, never both
    Attribute a[] = {{CKA_ID, 64},
                     {CKA_LABEL, 129},
                     {priv ? CKA_DECRYPT : CKA_ENCRYPT, 7},
                     {priv ? CKA_UNWRAP : CKA_WRAP, 7},
                     {priv ? CKA_SIGN : CKA_VERIFY, 7},
                     {CKA_MODULUS, 1025, kKeyMaterial},
                     {CKA_PUBLIC_EXPONENT, 17},
                     {CKA_EC_POINT, 161, kKeyMaterial},
                     {CKA_ALWAYS_AUTHENTICATE, 7}};
    static_assert(std::size(a) == kAlwaysAuthenticate + 1);
    // Only a private key can want a login per operation.
    const std::span<Attribute> asked(a, priv ? std::size(a) : std::size(a) - 1);
    bool read = false;
    if (CK_RV rv = ReadObject(functions, slot, session, h, asked, &read))
      return rv;
    if (!read)
      continue;
    const auto flag = [](const Attribute& x) {
      return x.value && x.value->size() == sizeof(CK_BBOOL) && (*x.value)[0];
    };
    Key k;
    k.handle = h;
    k.isPrivate = priv;
    k.id = a[kId].value.value_or(std::vector<std::uint8_t>{});
    if (a[kLabel].value)
      k.label.assign(a[kLabel].value->begin(), a[kLabel].value->end());
    k.exchanges = flag(a[kDecrypts]) || flag(a[kUnwraps]);
    k.signs = flag(a[kSigns]);
    k.SetMaterial(a[kModulus].value, a[kEcPoint].value);
    k.exponentLength = a[kExponent].value ? a[kExponent].value->size() : 0;
    k.alwaysAuthenticate = priv && flag(a[kAlwaysAuthenticate]);
    out->keys.push_back(std::move(k));
  }
  return CKR_OK;
}

CK_RV ObjectReader::ReadCertificates(CK_FUNCTION_LIST* functions,
                                     CK_SLOT_ID slot,
                                     CK_SESSION_HANDLE session,
                                     Objects* out) {
  std::vector<CK_OBJECT_HANDLE> handles;
  if (CK_RV rv = FindAllObjects(functions, session, CKO_CERTIFICATE, &handles))
    return rv;
  for (CK_OBJECT_HANDLE h : handles) {
    enum { kType, kId, kLabel, kValue };
    Attribute a[] = {{CKA_CERTIFICATE_TYPE, 9}, {CKA_ID, 64}, {CKA_LABEL, 129}, {CKA_VALUE, 8193}};
    static_assert(std::size(a) == kValue + 1);
    bool read = false;
    if (CK_RV rv = ReadObject(functions, slot, session, h, a, &read))
      return rv;
    if (!read)
      continue;
    const CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    if (!a[kType].value || a[kType].value->size() != sizeof x509 ||
        std::memcmp(a[kType].value->data(), &x509, sizeof x509) != 0 || !a[kValue].value ||
        a[kValue].value->empty())
      continue;
    std::string label;
    if (a[kLabel].value)
      label.assign(a[kLabel].value->begin(), a[kLabel].value->end());
    out->certs.push_back(DescribeCertificate(h, a[kId].value.value_or(std::vector<std::uint8_t>{}),
                                             std::move(label), std::move(*a[kValue].value)));
  }
  return CKR_OK;
}

}  // namespace tokenlib
