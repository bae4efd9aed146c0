#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One INI-style settings file, read and written a key at a time. The Windows
// implementation goes through the private-profile API; tests use a map.
class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  // The value as the profile functions return it (trimmed, one pair of
  // enclosing quotes removed, cut at kMaxProfileValue), or fallback when the
  // key is missing.
  virtual std::wstring ReadString(const std::wstring& section,
                                  const std::wstring& key,
                                  const std::wstring& fallback) = 0;
  // False when the value could not be written.
  virtual bool WriteString(const std::wstring& section,
                           const std::wstring& key,
                           const std::wstring& value) = 0;
  // Section names in file order; none when the file is missing.
  virtual std::vector<std::wstring> SectionNames() = 0;
};

// Opens settings files by path; the Windows side uses the profile API.
class ProfileFiles {
 public:
  virtual ~ProfileFiles() = default;
  virtual bool Exists(const std::wstring& path) = 0;
  virtual std::unique_ptr<ProfileStore> Open(const std::wstring& path) = 0;
};

// Longest value a read keeps; longer ones are cut.
inline constexpr std::size_t kMaxProfileValue = 2047;

// Integer keys: decimal with an optional sign, or hexadecimal after "0x",
// "0X" or "$"; anything else, or a value outside 32 bits, gives fallback.
int ParseProfileInt(std::wstring_view text, int fallback);

// Exactly four hexadecimal digits, in either case, as USB ids are written.
std::optional<std::uint16_t> ParseHex4(std::wstring_view text);

// A plain decimal number of at most maxDigits digits (no sign, no blanks).
std::optional<int> ParseDecimal(std::wstring_view text, std::size_t maxDigits = 9);

// One section as GetPrivateProfileSectionW gives it ("key=value" entries,
// each ended by a NUL), looked up by the rules of a single-key read: names
// compared without regard to case, the first of a repeated name counts,
// values trimmed, one pair of enclosing quotes removed, and cut at
// kMaxProfileValue. Reading a section once costs what reading one key does.
class ProfileSection {
 public:
  explicit ProfileSection(std::wstring_view entries);
  std::optional<std::wstring> Find(std::wstring_view key) const;

 private:
  std::unordered_map<std::wstring, std::wstring> values_;  // by lower-case name
};

int ReadProfileInt(ProfileStore& profile,
                   const std::wstring& section,
                   const std::wstring& key,
                   int fallback);
