#include "config/policy.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxPolicyText = 2047;

std::wstring TypeName(std::uint32_t type) {
  switch (type) {
    case 1:
      return L"REG_SZ";
    case 2:
      return L"REG_EXPAND_SZ";
    case 3:
      return L"REG_BINARY";
    case 4:
      return L"REG_DWORD";
    case 7:
      return L"REG_MULTI_SZ";
    case 11:
      return L"REG_QWORD";
    default:
      return L"type " + std::to_wstring(type);
  }
}

// The UTF-16 text of a string value, up to its first NUL; an odd last byte
// is not part of any character.
std::wstring TextOf(const std::vector<std::uint8_t>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    text += c;
  }
  return text;
}

std::vector<std::wstring> ItemsOf(const std::vector<std::uint8_t>& data) {
  std::vector<std::wstring> items;
  std::wstring item;
  for (wchar_t c : TextOf(data)) {
    if (c == L'\0') {
      if (!item.empty())
        items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty())
    items.push_back(std::move(item));
  return items;
}

std::wstring Trimmed(std::wstring text) {
  const auto cut = text.find(L'\0');
  if (cut != std::wstring::npos)
    text.resize(cut);
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  while (!text.empty() && blank(text.back()))
    text.pop_back();
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  return std::wstring(first, text.end());
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::towlower(text[i]) != std::towlower(prefix[i]))
      return false;
  return true;
}

// "PID_xxxx" or "VID_xxxx&PID_xxxx", in any case.
std::optional<UsbDeviceId> ParseDeviceId(std::wstring_view text) {
  UsbDeviceId id;
  if (StartsWithNoCase(text, L"VID_")) {
    if (text.size() != 17 || text[8] != L'&')
      return std::nullopt;
    id.vendor = ParseHex4(text.substr(4, 4));
    if (!id.vendor)
      return std::nullopt;
    text.remove_prefix(9);
  }
  if (!StartsWithNoCase(text, L"PID_"))
    return std::nullopt;
  const auto product = ParseHex4(text.substr(4));
  if (!product)
    return std::nullopt;
  id.product = *product;
  return id;
}

// Reads values the machine's key first: a value there that cannot be used is
// logged and counts as not set, so the user's (if usable) applies.
class Reader {
 public:
  Reader(PolicySource& source, std::vector<IgnoredPolicyValue>& ignored)
      : source_(source), ignored_(ignored) {}

  // check gives the usable value, or nothing with the reason set.
  template <class T, class Check>
  std::optional<T> Take(const PolicyValueInfo& info, Check check) {
    for (const bool machine : {true, false}) {
      const std::optional<RegistryValue> value = source_.Read(machine, info.name);
      if (!value)
        continue;
      const bool dwordSized = info.type != PolicyType::kDword || value->data.size() == 4;
      std::wstring reason;
      std::optional<T> usable;
      if (value->type != static_cast<std::uint32_t>(info.type) || !dwordSized)
        reason = TypeName(value->type) + L" of " + std::to_wstring(value->data.size()) +
                 L" bytes where " + TypeName(static_cast<std::uint32_t>(info.type)) + L" is read";
      else
        usable = check(*value, reason);
      if (usable)
        return usable;
      Ignore(info.name, (machine ? L"HKLM: " : L"HKCU: ") + reason);
    }
    return std::nullopt;
  }

  std::optional<std::uint32_t> Number(const PolicyValueInfo& info) {
    return Take<std::uint32_t>(info, [&](const RegistryValue& value, std::wstring& reason) {
      const std::uint32_t n = static_cast<std::uint32_t>(value.data[0]) | (value.data[1] << 8) |
                              (value.data[2] << 16) |
                              (static_cast<std::uint32_t>(value.data[3]) << 24);
      if (n >= info.min && n <= info.max)
        return std::optional<std::uint32_t>(n);
      reason = std::to_wstring(n) + L" is outside " + std::to_wstring(info.min) + L"-" +
               std::to_wstring(info.max);
      return std::optional<std::uint32_t>();
    });
  }

  // A text, trimmed, that also passes accept (which sets the reason when not).
  template <class Accept>
  std::optional<std::wstring> Text(const PolicyValueInfo& info, Accept accept) {
    return Take<std::wstring>(info, [&](const RegistryValue& value, std::wstring& reason) {
      std::wstring text = Trimmed(TextOf(value.data));
      if (text.empty())
        reason = L"empty";
      else if (text.size() > kMaxPolicyText)
        reason = L"longer than " + std::to_wstring(kMaxPolicyText) + L" characters";
      else if (accept(text, reason))
        return std::optional<std::wstring>(std::move(text));
      return std::optional<std::wstring>();
    });
  }
  std::optional<std::wstring> Text(const PolicyValueInfo& info) {
    return Text(info, [](const std::wstring&, std::wstring&) { return true; });
  }

  // The usable items of a list; malformed ones are skipped and summed up in
  // one report per value, however many there are (the value comes from any
  // administrator's tool and is read again at every policy broadcast).
  std::vector<UsbDeviceId> DeviceIds(const PolicyValueInfo& info) {
    return Take<std::vector<UsbDeviceId>>(
               info,
               [&](const RegistryValue& value, std::wstring&) {
                 std::vector<UsbDeviceId> ids;
                 std::size_t malformed = 0;
                 std::wstring shown;
                 for (const std::wstring& item : ItemsOf(value.data)) {
                   if (const auto id = ParseDeviceId(Trimmed(item))) {
                     ids.push_back(*id);
                   } else if (++malformed <= kMalformedItemsShown) {
                     shown += (shown.empty() ? L"\"" : L", \"") +
                              item.substr(0, kMalformedItemChars) + L"\"";
                   }
                 }
                 if (malformed > 0)
                   Ignore(info.name, std::to_wstring(malformed) +
                                         L" item(s) not PID_xxxx or VID_xxxx&PID_xxxx skipped: " +
                                         shown +
                                         (malformed > kMalformedItemsShown ? L", ..." : L""));
                 return std::optional<std::vector<UsbDeviceId>>(std::move(ids));
               })
        .value_or(std::vector<UsbDeviceId>{});
  }
  static constexpr std::size_t kMalformedItemsShown = 3, kMalformedItemChars = 40;

  void Ignore(std::wstring_view name, std::wstring reason) {
    ignored_.push_back({std::wstring(name), std::move(reason)});
  }

 private:
  PolicySource& source_;
  std::vector<IgnoredPolicyValue>& ignored_;
};

const PolicyValueInfo& Info(std::wstring_view name) {
  for (const PolicyValueInfo& info : kPolicyValues)
    if (info.name == name)
      return info;
  throw std::logic_error("not a policy value");
}

std::optional<std::int32_t> Signed(std::optional<std::uint32_t> n) {
  if (!n)
    return std::nullopt;
  return static_cast<std::int32_t>(*n);
}

}  // namespace

bool IsBareFileName(std::wstring_view path) {
  return !path.empty() && path.find_first_of(L"\\/:") == std::wstring_view::npos && path != L"." &&
         path != L"..";
}

bool IsFullPath(std::wstring_view path) {
  const bool drive = path.size() > 3 && std::iswalpha(path[0]) && path[1] == L':' &&
                     (path[2] == L'\\' || path[2] == L'/');
  const bool share =
      path.size() > 2 && path.substr(0, 2) == L"\\\\" && path[2] != L'?' && path[2] != L'.';
  if (!drive && !share)
    return false;
  // Every part named: no "." or ".." that would lead elsewhere, no empty part.
  std::wstring_view rest = path.substr(drive ? 3 : 2);
  while (true) {
    const auto end = rest.find_first_of(L"\\/");
    const std::wstring_view part = rest.substr(0, end);
    if (part.empty() || part == L"." || part == L"..")
      return false;
    if (end == std::wstring_view::npos)
      return true;
    rest.remove_prefix(end + 1);
  }
}

Policy ReadPolicy(PolicySource& source, std::vector<IgnoredPolicyValue>& ignored) {
  Reader read(source, ignored);
  Policy policy;

  const auto moduleName = [](const std::wstring& module, std::wstring& reason) {
    if (IsBareFileName(module) || IsFullPath(module))
      return true;
    reason = L"\"" + module + L"\" is neither a file name nor a full path";
    return false;
  };
  policy.Pkcs11Module = read.Text(Info(L"Pkcs11Module"), moduleName);
  policy.Pkcs11Module64 = read.Text(Info(L"Pkcs11Module64"), moduleName);
  policy.ProductIds = read.DeviceIds(Info(L"ProductIds"));
  policy.WatchSmartCardReaders = read.Number(Info(L"WatchSmartCardReaders")).value_or(0) == 1;
  policy.ProviderName =
      read.Text(Info(L"ProviderName"), [](const std::wstring& name, std::wstring& reason) {
        if (name.size() <= 255)
          return true;
        reason = L"longer than 255 characters";
        return false;
      });

  for (const SettingField& field : kSettingFields) {
    if (field.number)
      policy.*field.policyNumber = Signed(read.Number(Info(field.key)));
    else
      policy.*field.policyText = read.Text(Info(field.key));
  }

  policy.UpdateCheck = read.Number(Info(L"UpdateCheck")).value_or(1) == 1;
  policy.UpdateVersionFile =
      read.Text(Info(L"UpdateVersionFile"), [](const std::wstring& address, std::wstring& reason) {
        if (StartsWithNoCase(address, L"http://") || StartsWithNoCase(address, L"https://"))
          return true;
        reason = L"\"" + address + L"\" is not an http or https address";
        return false;
      });
  policy.UpdateDelayMaxSeconds = read.Number(Info(L"UpdateDelayMaxSeconds"));
  return policy;
}

namespace {

// Calls f with each user setting's place in the policy and in the settings.
template <class F>
void ForEachSetting(F f) {
  for (const SettingField& field : kSettingFields) {
    if (field.number)
      f(field.policyNumber, field.number);
    else
      f(field.policyText, field.text);
  }
}

}  // namespace

TConfigInfo WithPolicySettings(const Policy& policy, TConfigInfo settings) {
  ForEachSetting([&](auto set, auto value) {
    if (policy.*set)
      settings.*value = *(policy.*set);
  });
  return settings;
}

TConfigInfo WithoutPolicySettings(const Policy& policy,
                                  const TConfigInfo& fromDialog,
                                  const TConfigInfo& userStored) {
  TConfigInfo record = fromDialog;
  ForEachSetting([&](auto set, auto value) {
    if (policy.*set)
      record.*value = userStored.*value;
  });
  return record;
}

bool SetsAnyUserSetting(const Policy& policy) {
  bool any = false;
  ForEachSetting([&](auto set, auto) { any = any || (policy.*set).has_value(); });
  return any;
}

int UpdateCheckDelayMs(const Policy& policy, std::uint32_t randomValue) {
  if (!policy.UpdateDelayMaxSeconds)
    return kDefaultUpdateDelayMs;
  const std::uint64_t span = std::uint64_t{*policy.UpdateDelayMaxSeconds} * 1000 + 1;
  return static_cast<int>(randomValue * span >> 32);  // no bias towards small delays
}

bool IsPolicyDevice(const Policy& policy, std::int32_t vendorId, std::int32_t productId) {
  return std::any_of(policy.ProductIds.begin(), policy.ProductIds.end(),
                     [&](const UsbDeviceId& id) {
                       return id.product == productId && (!id.vendor || *id.vendor == vendorId);
                     });
}
