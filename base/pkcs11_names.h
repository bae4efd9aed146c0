#pragma once
// The names of the PKCS#11 constants a trace or a log line shows, one sorted
// table per kind of constant.
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "base/pkcs11_api.h"

namespace pkcs11 {

struct ConstantName {
  CK_ULONG value;
  std::string_view name;
};

#define PKCS11_NAME(constant) \
  ConstantName {              \
    constant, #constant       \
  }
inline constexpr ConstantName kReturnCodes[] = {
    PKCS11_NAME(CKR_OK),
    PKCS11_NAME(CKR_CANCEL),
    PKCS11_NAME(CKR_HOST_MEMORY),
    PKCS11_NAME(CKR_SLOT_ID_INVALID),
    PKCS11_NAME(CKR_GENERAL_ERROR),
    PKCS11_NAME(CKR_FUNCTION_FAILED),
    PKCS11_NAME(CKR_ARGUMENTS_BAD),
    PKCS11_NAME(CKR_CANT_LOCK),
    PKCS11_NAME(CKR_ATTRIBUTE_SENSITIVE),
    PKCS11_NAME(CKR_ATTRIBUTE_TYPE_INVALID),
    PKCS11_NAME(CKR_ATTRIBUTE_VALUE_INVALID),
    PKCS11_NAME(CKR_DATA_INVALID),
    PKCS11_NAME(CKR_DATA_LEN_RANGE),
    PKCS11_NAME(CKR_DEVICE_ERROR),
    PKCS11_NAME(CKR_DEVICE_MEMORY),
    PKCS11_NAME(CKR_DEVICE_REMOVED),
    PKCS11_NAME(CKR_ENCRYPTED_DATA_INVALID),
    PKCS11_NAME(CKR_ENCRYPTED_DATA_LEN_RANGE),
    PKCS11_NAME(CKR_FUNCTION_NOT_SUPPORTED),
    PKCS11_NAME(CKR_KEY_HANDLE_INVALID),
    PKCS11_NAME(CKR_KEY_TYPE_INCONSISTENT),
    PKCS11_NAME(CKR_KEY_FUNCTION_NOT_PERMITTED),
    PKCS11_NAME(CKR_MECHANISM_INVALID),
    PKCS11_NAME(CKR_MECHANISM_PARAM_INVALID),
    PKCS11_NAME(CKR_OBJECT_HANDLE_INVALID),
    PKCS11_NAME(CKR_OPERATION_ACTIVE),
    PKCS11_NAME(CKR_OPERATION_NOT_INITIALIZED),
    PKCS11_NAME(CKR_PIN_INCORRECT),
    PKCS11_NAME(CKR_PIN_INVALID),
    PKCS11_NAME(CKR_PIN_LEN_RANGE),
    PKCS11_NAME(CKR_PIN_EXPIRED),
    PKCS11_NAME(CKR_PIN_LOCKED),
    PKCS11_NAME(CKR_SESSION_CLOSED),
    PKCS11_NAME(CKR_SESSION_COUNT),
    PKCS11_NAME(CKR_SESSION_HANDLE_INVALID),
    PKCS11_NAME(CKR_SESSION_READ_ONLY),
    PKCS11_NAME(CKR_SESSION_EXISTS),
    PKCS11_NAME(CKR_SESSION_READ_ONLY_EXISTS),
    PKCS11_NAME(CKR_TOKEN_NOT_PRESENT),
    PKCS11_NAME(CKR_TOKEN_NOT_RECOGNIZED),
    PKCS11_NAME(CKR_TOKEN_WRITE_PROTECTED),
    PKCS11_NAME(CKR_USER_ALREADY_LOGGED_IN),
    PKCS11_NAME(CKR_USER_NOT_LOGGED_IN),
    PKCS11_NAME(CKR_USER_PIN_NOT_INITIALIZED),
    PKCS11_NAME(CKR_USER_TYPE_INVALID),
    PKCS11_NAME(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
    PKCS11_NAME(CKR_BUFFER_TOO_SMALL),
    PKCS11_NAME(CKR_CRYPTOKI_NOT_INITIALIZED),
    PKCS11_NAME(CKR_CRYPTOKI_ALREADY_INITIALIZED),
};

inline constexpr ConstantName kAttributeTypes[] = {
    PKCS11_NAME(CKA_CLASS),
    PKCS11_NAME(CKA_TOKEN),
    PKCS11_NAME(CKA_PRIVATE),
    PKCS11_NAME(CKA_LABEL),
    PKCS11_NAME(CKA_VALUE),
    PKCS11_NAME(CKA_CERTIFICATE_TYPE),
    PKCS11_NAME(CKA_ISSUER),
    PKCS11_NAME(CKA_SERIAL_NUMBER),
    PKCS11_NAME(CKA_KEY_TYPE),
    PKCS11_NAME(CKA_SUBJECT),
    PKCS11_NAME(CKA_ID),
    PKCS11_NAME(CKA_SENSITIVE),
    PKCS11_NAME(CKA_ENCRYPT),
    PKCS11_NAME(CKA_DECRYPT),
    PKCS11_NAME(CKA_WRAP),
    PKCS11_NAME(CKA_UNWRAP),
    PKCS11_NAME(CKA_SIGN),
    PKCS11_NAME(CKA_VERIFY),
    PKCS11_NAME(CKA_MODULUS),
    PKCS11_NAME(CKA_MODULUS_BITS),
    PKCS11_NAME(CKA_PUBLIC_EXPONENT),
    PKCS11_NAME(CKA_PRIVATE_EXPONENT),
    PKCS11_NAME(CKA_EC_PARAMS),
    PKCS11_NAME(CKA_EC_POINT),
};

inline constexpr ConstantName kObjectClasses[] = {
    PKCS11_NAME(CKO_DATA),        PKCS11_NAME(CKO_CERTIFICATE), PKCS11_NAME(CKO_PUBLIC_KEY),
    PKCS11_NAME(CKO_PRIVATE_KEY), PKCS11_NAME(CKO_SECRET_KEY),
};
#undef PKCS11_NAME

// Each table strictly ascending by value, so that a lookup can halve it and
// no constant has two names.
constexpr bool StrictlyAscending(std::span<const ConstantName> table) {
  return std::adjacent_find(table.begin(), table.end(), [](const auto& a, const auto& b) {
           return a.value >= b.value;
         }) == table.end();
}
static_assert(StrictlyAscending(kReturnCodes));
static_assert(StrictlyAscending(kAttributeTypes));
static_assert(StrictlyAscending(kObjectClasses));

// The name of value in table, nothing for a value the table does not hold.
constexpr std::optional<std::string_view> NameOf(std::span<const ConstantName> table,
                                                 CK_ULONG value) {
  const auto found =
      std::lower_bound(table.begin(), table.end(), value,
                       [](const auto& entry, CK_ULONG v) { return entry.value < v; });
  if (found == table.end() || found->value != value)
    return std::nullopt;
  return found->name;
}

}  // namespace pkcs11
