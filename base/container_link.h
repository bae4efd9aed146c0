#pragma once
// The container name a certificate's key link carries, as the monitor writes
// it and our providers read it. A container name is unique on its token
// only, so where another present token could hold the same name the link
// names the token too, in the smart-card form "\\.\<token serial>\<name>".
// A token alone keeps the plain name the library reports.
#include <optional>
#include <string>
#include <string_view>

namespace container_link {

inline constexpr std::string_view kDevicePrefix = "\\\\.\\";

// Whether serial can stand in the reader part: not empty, no backslash.
inline bool CanQualify(std::string_view serial) {
  return !serial.empty() && serial.find('\\') == std::string_view::npos;
}

inline std::string Qualified(std::string_view serial, std::string_view name) {
  return std::string(kDevicePrefix) + std::string(serial) + '\\' + std::string(name);
}

struct Parsed {
  std::optional<std::string> reader;  // the token (or reader) named, if any
  std::string name;                   // empty: the default container
};

// "\\.\reader\name", "\\.\reader\" and "\\.\reader" name a reader; anything
// else is a plain container name.
inline Parsed Parse(std::string_view asked) {
  if (asked.substr(0, kDevicePrefix.size()) != kDevicePrefix)
    return {std::nullopt, std::string(asked)};
  const std::string_view rest = asked.substr(kDevicePrefix.size());
  const std::size_t slash = rest.find('\\');
  if (slash == std::string_view::npos)
    return {std::string(rest), std::string()};
  return {std::string(rest.substr(0, slash)), std::string(rest.substr(slash + 1))};
}

}  // namespace container_link
