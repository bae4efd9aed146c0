#pragma once
#include <string>
#include <utility>
#include <vector>

// A small INI file kept in order: sections of key=value lines. Keys and
// section names match without regard to case; comments start with ';' or '#'.
class IniFile {
 public:
  static IniFile Parse(const std::string& text);
  // Empty when the file cannot be read.
  static IniFile Load(const std::string& path);
  std::string Serialise() const;
  // Writes to a temporary file beside path and renames it over path, so a
  // reader never sees half a file.
  bool Save(const std::string& path) const;

  std::string Get(const std::string& section,
                  const std::string& key,
                  const std::string& fallback = "") const;
  int GetInt(const std::string& section, const std::string& key, int fallback) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  // Keys of a section in file order.
  std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const;
  std::vector<std::string> Sections() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  Section* Find(const std::string& name);
  const Section* Find(const std::string& name) const;
  std::vector<Section> sections_;
};
