// Policy values as the registry may hold them, set by any administrator's
// tool or script: every value of any type and size, in the machine's key and
// the user's. The reading never fails, keeps every value in its range, and
// reports each value at most once per key, in a bounded line.
#include <algorithm>

#include "testing/fake_policy_source.h"
#include "config/policy.h"

namespace {

// Values cut from the input: per value a header byte (which name, which key,
// which type) and a length byte, then that many bytes of data.
void FillPolicySource(FakePolicySource& source, const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kNames = std::size(kPolicyValues);
  constexpr std::uint32_t kTypes[] = {0, 1, 2, 3, 4, 5, 7, 11};
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::uint8_t header = data[at], length = data[at + 1];
    at += 2;
    // A length of 255 takes the rest: multi-strings of any size.
    const std::size_t n = length == 255 ? size - at : std::min<std::size_t>(length, size - at);
    source.Raw((header & 0x10) != 0, std::wstring(kPolicyValues[(header & 0x0F) % kNames].name),
               RegistryValue{kTypes[(header >> 5) & 7], {data + at, data + at + n}});
    at += n;
  }
}

template <class T>
void CheckRange(const std::optional<T>& value, std::wstring_view name) {
  if (!value)
    return;
  for (const PolicyValueInfo& info : kPolicyValues)
    if (info.name == name && (static_cast<std::int64_t>(*value) < info.min ||
                              static_cast<std::int64_t>(*value) > info.max))
      __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FakePolicySource source;
  FillPolicySource(source, data, size);
  std::vector<IgnoredPolicyValue> ignored;
  const Policy policy = ReadPolicy(source, ignored);
  CheckRange(policy.URLOpenMode, L"URLOpenMode");
  CheckRange(policy.BrowserMode, L"BrowserMode");
  CheckRange(policy.CertTips, L"CertTips");
  CheckRange(policy.CertDay, L"CertDay");
  CheckRange(policy.DefaultPINMode, L"DefaultPINMode");
  CheckRange(policy.LanguageID, L"LanguageID");
  CheckRange(policy.UpdateDelayMaxSeconds, L"UpdateDelayMaxSeconds");
  // One report per value and key at the most, each of a bounded length.
  if (ignored.size() > 2 * std::size(kPolicyValues))
    __builtin_trap();
  for (const IgnoredPolicyValue& value : ignored)
    if (value.reason.size() > 4096 || value.name.empty())
      __builtin_trap();
  return 0;
}
