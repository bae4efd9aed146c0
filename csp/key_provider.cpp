#include "key_provider.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace csp {

namespace {

constexpr std::int32_t kMaxTokens = 32;
constexpr std::int32_t kNamesCapacity = 8192;

bool IsWrongPin(std::int32_t status) {
  return status == static_cast<std::int32_t>(CKR_PIN_INCORRECT) ||
         status == static_cast<std::int32_t>(CKR_PIN_INVALID) ||
         status == static_cast<std::int32_t>(CKR_PIN_LEN_RANGE);
}

}  // namespace

std::string ContainerPart(const std::string& asked) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (asked.compare(0, kDevicePrefix.size(), kDevicePrefix) != 0)
    return asked;
  const std::size_t slash = asked.find('\\', kDevicePrefix.size());
  return slash == std::string::npos ? std::string() : asked.substr(slash + 1);
}

capi::Status FromLibraryStatus(std::int32_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0:
      return capi::kOk;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
      return capi::kWrongPin;
    case CKR_PIN_LOCKED:
      return capi::kPinBlocked;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
      return capi::kRemovedCard;
    case CKR_DATA_INVALID:
    case CKR_DATA_LEN_RANGE:
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
      return capi::kBadData;
    case CKR_USER_NOT_LOGGED_IN:
      return capi::kSilentContext;
    case CKR_FUNCTION_CANCELED:
      return capi::kCancelledByUser;
    case static_cast<std::uint32_t>(tokenlib::kErrNoContainer):
      return capi::kBadKeyset;
    case static_cast<std::uint32_t>(tokenlib::kErrNoKey):
    case static_cast<std::uint32_t>(tokenlib::kErrNoCertificate):
      return capi::kNoKey;
    default:
      return capi::kFail;
  }
}

void KeyProvider::ReleaseContext() {
  if (contexts_ > 0 && --contexts_ == 0 && open_) {
    tokens_.Finalise();
    open_ = false;
  }
}

capi::Status KeyProvider::Open() {
  if (open_)
    return capi::kOk;
  if (tokens_.Initialise(moduleName_()) != 0)
    return capi::kFail;
  open_ = true;
  return capi::kOk;
}

capi::Status KeyProvider::PresentTokens(std::vector<PresentToken>* present) {
  if (capi::Status status = Open())
    return status;
  std::array<std::int32_t, kMaxTokens> handles{};
  std::int32_t count = kMaxTokens;
  if (std::int32_t status = tokens_.Find(handles.data(), &count))
    return FromLibraryStatus(status);
  present->clear();
  for (std::int32_t i = 0; i < count; ++i) {
    char label[33] = {}, manufacturer[129] = {}, model[65] = {}, serial[65] = {};
    // A token pulled since the list was made is left out.
    if (tokens_.GetInfo(handles[i], label, manufacturer, model, serial, nullptr) == 0)
      present->push_back({handles[i], std::string(serial) + '\n' + label, label});
  }
  return capi::kOk;
}

std::vector<std::string> KeyProvider::ContainersOf(std::int32_t token) {
  std::vector<char> buffer(kNamesCapacity);
  std::int32_t length = kNamesCapacity;
  std::vector<std::string> names;
  // Names that did not fit are left out; those that did still count.
  const std::int32_t status = tokens_.LoadContainers(token, buffer.data(), &length);
  if (status != 0 && status != tokenlib::kErrBufferTooSmall)
    return names;
  length = std::clamp(length, 0, kNamesCapacity);
  for (std::int32_t at = 0; at < length;) {
    const std::size_t size = strnlen(&buffer[at], static_cast<std::size_t>(length - at));
    names.emplace_back(&buffer[at], size);
    at += static_cast<std::int32_t>(size) + 1;
  }
  return names;
}

capi::Status KeyProvider::FindContainer(const std::string& asked, ContainerRef* ref) {
  std::vector<PresentToken> present;
  if (capi::Status status = PresentTokens(&present))
    return status;
  if (present.empty())
    return capi::kNoSmartCard;
  const std::string name = ContainerPart(asked);
  for (const PresentToken& token : present) {
    for (const std::string& candidate : ContainersOf(token.token)) {
      if (name.empty() || candidate == name) {
        *ref = {token.token, token.identity, token.label, candidate};
        return capi::kOk;
      }
    }
  }
  return capi::kBadKeyset;
}

capi::Status KeyProvider::ContainerNames(std::vector<std::string>* names) {
  std::vector<PresentToken> present;
  if (capi::Status status = PresentTokens(&present))
    return status;
  names->clear();
  for (const PresentToken& token : present) {
    const std::vector<std::string> ofToken = ContainersOf(token.token);
    names->insert(names->end(), ofToken.begin(), ofToken.end());
  }
  return capi::kOk;
}

capi::Status KeyProvider::Locate(ContainerRef& ref) {
  if (capi::Status status = Open())
    return status;
  char label[33] = {}, manufacturer[129] = {}, model[65] = {}, serial[65] = {};
  if (tokens_.GetInfo(ref.token, label, manufacturer, model, serial, nullptr) == 0 &&
      std::string(serial) + '\n' + label == ref.identity)
    return capi::kOk;
  // Pulled, or the list has changed since: the same token may be back in
  // another place. Another token in its place is not it.
  std::vector<PresentToken> present;
  if (capi::Status status = PresentTokens(&present))
    return status;
  for (const PresentToken& token : present) {
    if (token.identity == ref.identity) {
      ref.token = token.token;
      return capi::kOk;
    }
  }
  return capi::kRemovedCard;
}

capi::Status KeyProvider::Entry(ContainerRef& ref,
                                std::uint32_t keySpec,
                                tokenlib::ContainerEntry* entry) {
  if (keySpec != capi::kAtKeyExchange && keySpec != capi::kAtSignature)
    return capi::kBadKey;
  if (capi::Status status = Locate(ref))
    return status;
  return FromLibraryStatus(
      tokens_.FindContainer(ref.token, ref.name, static_cast<std::int32_t>(keySpec), entry));
}

capi::Status KeyProvider::PublicKey(ContainerRef& ref,
                                    std::uint32_t keySpec,
                                    der::RsaPublicKey* key) {
  tokenlib::ContainerEntry entry;
  if (capi::Status status = Entry(ref, keySpec, &entry))
    return status;
  // The exponent comes from the certificate: a key object alone does not
  // give it to us.
  const auto rsa = entry.cert ? der::CertificateRsaKey(entry.cert->value) : std::nullopt;
  if (!rsa)
    return capi::kNoKey;
  *key = *rsa;
  return capi::kOk;
}

capi::Status KeyProvider::Certificate(ContainerRef& ref,
                                      std::uint32_t keySpec,
                                      std::vector<std::uint8_t>* cert) {
  tokenlib::ContainerEntry entry;
  if (capi::Status status = Entry(ref, keySpec, &entry))
    return status;
  if (!entry.cert)
    return capi::kNoKey;
  *cert = entry.cert->value;
  return capi::kOk;
}

capi::Status KeyProvider::Sign(ContainerRef& ref,
                               std::uint32_t keySpec,
                               std::span<const std::uint8_t> block,
                               const PinAccess& access,
                               std::vector<std::uint8_t>* signature) {
  return WithPrivateKey(ref, access, [&] {
    return tokens_.SignWithKey(ref.token, ref.name, static_cast<std::int32_t>(keySpec), block,
                               signature);
  });
}

capi::Status KeyProvider::Decrypt(ContainerRef& ref,
                                  std::uint32_t keySpec,
                                  std::span<const std::uint8_t> cipher,
                                  const PinAccess& access,
                                  SecretBytes* plain) {
  return WithPrivateKey(ref, access, [&] {
    return tokens_.DecryptWithKey(ref.token, ref.name, static_cast<std::int32_t>(keySpec), cipher,
                                  plain);
  });
}

capi::Status KeyProvider::WithPrivateKey(ContainerRef& ref,
                                         const PinAccess& access,
                                         const std::function<std::int32_t()>& op) {
  if (capi::Status status = Locate(ref))
    return status;
  const std::int32_t first = op();
  if (first != static_cast<std::int32_t>(CKR_USER_NOT_LOGGED_IN))
    return FromLibraryStatus(first);
  if (access.silent || !access.prompt)
    return capi::kSilentContext;
  if (capi::Status status = LogInByPrompt(ref, *access.prompt))
    return status;
  return FromLibraryStatus(op());
}

capi::Status KeyProvider::LogInByPrompt(ContainerRef& ref, PinPrompt& prompt) {
  // A locked PIN is said at once, without asking for one that cannot work.
  std::int32_t state[6] = {};
  if (tokens_.GetPinState(ref.token, 1, state) == 0 && state[4])
    return capi::kPinBlocked;
  PinRequest request{ref.label, std::nullopt};
  for (;;) {
    std::optional<SecretBytes> pin = prompt.Ask(request);
    if (!pin)
      return capi::kCancelledByUser;
    std::int32_t triesLeft = tokenlib::kTriesAtLeast;
    const std::int32_t status = tokens_.Login(ref.token, pin->view(), &triesLeft);
    if (!IsWrongPin(status))
      return status == static_cast<std::int32_t>(CKR_USER_ALREADY_LOGGED_IN)
                 ? capi::kOk
                 : FromLibraryStatus(status);
    if (triesLeft == 0)
      return capi::kPinBlocked;
    request.triesLeft = triesLeft;
  }
}

capi::Status KeyProvider::LogIn(ContainerRef& ref, std::string_view pin) {
  if (capi::Status status = Locate(ref))
    return status;
  std::int32_t triesLeft = tokenlib::kTriesAtLeast;
  const std::int32_t status = tokens_.Login(ref.token, pin, &triesLeft);
  if (status == static_cast<std::int32_t>(CKR_USER_ALREADY_LOGGED_IN))
    return capi::kOk;
  if (IsWrongPin(status) && triesLeft == 0)
    return capi::kPinBlocked;
  return FromLibraryStatus(status);
}

}  // namespace csp
