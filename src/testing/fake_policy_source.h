#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "config/policy.h"

// The two policy keys as the registry would answer: values of any type,
// including the wrong ones an administrator can set by hand.
class FakePolicySource : public PolicySource {
 public:
  FakePolicySource& Dword(bool machine, const std::wstring& name, std::uint32_t n) {
    RegistryValue v{4, {}};
    for (int i = 0; i < 4; ++i)
      v.data.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    values_[{machine, name}] = v;
    return *this;
  }
  // A string value with its terminating NUL, as RegSetValueEx stores it;
  // items of a multi-string are separated by NULs.
  FakePolicySource& Text(bool machine,
                         const std::wstring& name,
                         const std::wstring& text,
                         std::uint32_t type = 1) {
    RegistryValue v{type, {}};
    for (wchar_t c : text + L'\0') {
      v.data.push_back(static_cast<std::uint8_t>(c & 0xFF));
      v.data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    values_[{machine, name}] = v;
    return *this;
  }
  FakePolicySource& Raw(bool machine, const std::wstring& name, RegistryValue value) {
    values_[{machine, name}] = std::move(value);
    return *this;
  }
  std::optional<RegistryValue> Read(bool machine, std::wstring_view name) override {
    const auto it = values_.find({machine, std::wstring(name)});
    if (it == values_.end())
      return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::pair<bool, std::wstring>, RegistryValue> values_;
};
