// The batched attribute read against module behaviours real modules show:
// partial answers, values larger than the first buffers, modules that stop
// at the first attribute they cannot answer, sessions that are gone.
#include "attribute_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

using tokenlib::Attribute;
using tokenlib::ReadAttributes;

namespace {

// kLastErrorWins names the last failure (as SoftHSM2 does), so a value too
// long for its buffer may hide behind CKR_ATTRIBUTE_TYPE_INVALID;
// kFailsForUnsuitable answers CKR_FUNCTION_FAILED for any attribute the object
// lacks, and fills nothing.
enum class Module {
  kCompliant,
  kStopsAtFirstBad,
  kSessionGone,
  kLastErrorWins,
  kFailsForUnsuitable
};

// One object: a label, a long value, a modulus and a secret; no CKA_ID.
struct FakeModule {
  static inline Module kind = Module::kCompliant;
  static inline int calls = 0;
  static inline const std::map<CK_ATTRIBUTE_TYPE, std::string> values = {
      {CKA_LABEL, "exch"},
      {CKA_MODULUS, "\xC1\x05"},
      {CKA_VALUE, std::string(5000, 'v')}};

  static CK_RV Get(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE* t, CK_ULONG n) {
    ++calls;
    if (kind == Module::kSessionGone)
      return CKR_DEVICE_REMOVED;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < n; ++i) {
      auto it = values.find(t[i].type);
      const bool secret = t[i].type == CKA_PRIVATE_EXPONENT;
      if (kind == Module::kFailsForUnsuitable && it == values.end())
        return CKR_FUNCTION_FAILED;
      if (secret || it == values.end()) {
        t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        if (rv != CKR_BUFFER_TOO_SMALL || kind == Module::kLastErrorWins)
          rv = secret ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
        if (kind == Module::kStopsAtFirstBad)
          return rv;  // the rest of the template left as it came
        continue;
      }
      if (!t[i].pValue) {
        t[i].ulValueLen = it->second.size();
      } else if (t[i].ulValueLen < it->second.size()) {
        t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_BUFFER_TOO_SMALL;
      } else {
        std::memcpy(t[i].pValue, it->second.data(), it->second.size());
        t[i].ulValueLen = it->second.size();
      }
    }
    return rv;
  }
};

CK_FUNCTION_LIST* Functions(Module kind) {
  static CK_FUNCTION_LIST list{};
  list.C_GetAttributeValue = &FakeModule::Get;
  FakeModule::kind = kind;
  FakeModule::calls = 0;
  return &list;
}

std::string Text(const Attribute& a) {
  return a.value ? std::string(a.value->begin(), a.value->end()) : "<none>";
}

}  // namespace

TEST(ReadAttributes, AnsweredInOneCallWhenTheBuffersSuffice) {
  Attribute a[] = {{CKA_LABEL, 129}, {CKA_PRIVATE_EXPONENT, 300}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kCompliant), 1, 1, a), CKR_OK);
  EXPECT_EQ(FakeModule::calls, 1);
  EXPECT_EQ(Text(a[0]), "exch");
  EXPECT_EQ(Text(a[1]), "<none>");  // sensitive
  // An RSA key's modulus answered: its EC point is absent, not too long.
  Attribute key[] = {{CKA_LABEL, 129}, {CKA_MODULUS, 1025, 1}, {CKA_EC_POINT, 161, 1}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kCompliant), 1, 1, key), CKR_OK);
  EXPECT_EQ(FakeModule::calls, 1);
}

// Two attributes unavailable: either may be too long for its buffer.
TEST(ReadAttributes, AValueTooLongBehindAnotherFailureIsReadAtItsSize) {
  for (Module kind : {Module::kCompliant, Module::kLastErrorWins}) {
    Attribute a[] = {{CKA_LABEL, 3}, {CKA_ID, 64}, {CKA_PRIVATE_EXPONENT, 300}};
    ASSERT_EQ(ReadAttributes(Functions(kind), 1, 1, a), CKR_OK);
    EXPECT_EQ(Text(a[0]), "exch");
    EXPECT_EQ(Text(a[1]), "<none>");
    EXPECT_EQ(Text(a[2]), "<none>");
  }
}

TEST(ReadAttributes, AModuleFailingTheWholeCallForOneUnsuitableAttributeIsAskedOneByOne) {
  Attribute a[] = {{CKA_LABEL, 129}, {CKA_EC_POINT, 161}, {CKA_VALUE, 8193}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kFailsForUnsuitable), 1, 1, a), CKR_OK);
  EXPECT_EQ(Text(a[0]), "exch");
  EXPECT_EQ(Text(a[1]), "<none>");
  EXPECT_EQ(a[2].value->size(), 5000u);
}

TEST(ReadAttributes, AValueLargerThanItsBufferIsReadAgainWithExactSizes) {
  Attribute a[] = {{CKA_LABEL, 129}, {CKA_VALUE, 4096}, {CKA_ID, 64}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kCompliant), 1, 1, a), CKR_OK);
  EXPECT_EQ(FakeModule::calls, 3);  // the try, the sizes, the values
  EXPECT_EQ(Text(a[0]), "exch");
  EXPECT_EQ(a[1].value->size(), 5000u);
  EXPECT_EQ(Text(a[2]), "<none>");
}

TEST(ReadAttributes, AModuleThatStopsAtTheFirstBadAttributeIsAskedForTheRestOneByOne) {
  Attribute a[] = {{CKA_ID, 64}, {CKA_LABEL, 129}, {CKA_VALUE, 8193}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kStopsAtFirstBad), 1, 1, a), CKR_OK);
  EXPECT_EQ(Text(a[0]), "<none>");
  EXPECT_EQ(Text(a[1]), "exch");
  EXPECT_EQ(a[2].value->size(), 5000u);
}

TEST(ReadAttributes, AStoppingModuleAndALargeValueTogether) {
  Attribute a[] = {{CKA_LABEL, 129}, {CKA_VALUE, 4096}, {CKA_PRIVATE_EXPONENT, 300}, {CKA_ID, 64}};
  ASSERT_EQ(ReadAttributes(Functions(Module::kStopsAtFirstBad), 1, 1, a), CKR_OK);
  EXPECT_EQ(Text(a[0]), "exch");
  EXPECT_EQ(a[1].value->size(), 5000u);
  EXPECT_EQ(Text(a[2]), "<none>");
  EXPECT_EQ(Text(a[3]), "<none>");
}

TEST(ReadAttributes, AGoneSessionIsTheModulesAnswer) {
  Attribute a[] = {{CKA_LABEL, 129}};
  EXPECT_EQ(ReadAttributes(Functions(Module::kSessionGone), 1, 1, a), CKR_DEVICE_REMOVED);
}
