#include "monitor/commands.h"

#include "config/fixed_names.h"

namespace {

constexpr std::uintptr_t kStatusText = 1;

// Status keys in the order they are tested: a key that begins a longer one
// comes after it. Null members silence the notification.
struct StatusKey {
  const wchar_t* key;
  std::wstring TResStrs::*message;
};
constexpr StatusKey kStatusKeys[] = {
    {L"IDS_STRING_UKEY_MESSAGE_GENKEYFAIL", &TResStrs::IDS_STRING_UKEY_MESSAGE_GENKEYFAIL},
    {L"IDS_STRING_UKEY_MESSAGE_GENKEYOK", &TResStrs::IDS_STRING_UKEY_MESSAGE_GENKEYOK},
    {L"IDS_STRING_UKEY_MESSAGE_GENKEY", &TResStrs::IDS_STRING_UKEY_MESSAGE_GENKEY},
    {L"IDS_STRING_UKEY_MESSAGE_SIGNDATA", &TResStrs::IDS_STRING_UKEY_MESSAGE_SIGNDATA},
    {L"IDS_STRING_UKEY_MESSAGE_SIGNFAIL", &TResStrs::IDS_STRING_UKEY_MESSAGE_SIGNFAIL},
    {L"IDS_STRING_UKEY_MESSAGE_SIGNOK", &TResStrs::IDS_STRING_UKEY_MESSAGE_SIGNOK},
    {L"IDS_STRING_UKEY_MESSAGE_CERTWRITEOK", &TResStrs::IDS_STRING_UKEY_MESSAGE_CERTWRITEOK},
    {L"IDS_STRING_UKEY_MESSAGE_CERTWRITEFAIL", &TResStrs::IDS_STRING_UKEY_MESSAGE_CERTWRITEFAIL},
    {L"IDS_STRING_UKEY_MESSAGE_CERTWRITE", &TResStrs::IDS_STRING_UKEY_MESSAGE_CERTWRITE},
    {L"IDS_STRING_UKEY_MESSAGE_ADMLOGIN", nullptr},
    {L"IDS_STRING_UKEY_MESSAGE_ADMLOGOUT", nullptr},
    {L"IDS_STRING_UKEY_MESSAGE_USRLOGIN", nullptr},
    {L"IDS_STRING_UKEY_MESSAGE_USRLOGOUT", nullptr},
    {L"IDS_STRING_UKEY_MESSAGE_FORMAT", nullptr},
};

std::wstring AsciiLower(std::wstring text) {
  for (auto& c : text)
    if (c >= L'A' && c <= L'Z')
      c = static_cast<wchar_t>(c - L'A' + L'a');
  return text;
}

CopyDataRequest SendersText(const std::wstring& text) {
  return {CopyDataRequest::kShowBalloon, text.substr(0, kMaxSendersTextChars), !text.empty()};
}

}  // namespace

std::wstring CopyDataText(const void* data, std::size_t byteCount) {
  if (!data)
    return L"";
  // Byte-wise: the sender's buffer need not be aligned for wchar_t.
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::wstring text;
  for (std::size_t i = 0; i + 1 < byteCount; i += 2) {
    const auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == L'\0')
      break;
    text += unit;
  }
  return text;
}

CopyDataRequest DecodeCopyData(std::uintptr_t dwData,
                               const void* data,
                               std::size_t byteCount,
                               const TResStrs& strings) {
  if (byteCount > kMaxCopyDataBytes)
    return {CopyDataRequest::kRefused, L""};
  const std::wstring text = CopyDataText(data, byteCount);
  if (dwData == kStatusText) {
    for (const auto& status : kStatusKeys)
      if (text.find(status.key) != std::wstring::npos)
        return {CopyDataRequest::kShowBalloon, status.message ? strings.*status.message : L""};
    return SendersText(text);
  }
  const std::wstring command = AsciiLower(text);
  if (command == AsciiLower(names::kCommandRegCert))
    return {CopyDataRequest::kRegisterAgain, L""};
  if (command == AsciiLower(names::kCommandUpdate))
    return {CopyDataRequest::kLeaveUpdatesToManager, L""};
  return SendersText(text);
}
