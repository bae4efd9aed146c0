#include "ini_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos)
    return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

IniFile IniFile::Parse(const std::string& text) {
  IniFile ini;
  std::istringstream in(text);
  std::string line;
  Section* current = nullptr;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#')
      continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      current = ini.Find(name);
      if (!current) {
        ini.sections_.push_back({name, {}});
        current = &ini.sections_.back();
      }
      continue;
    }
    const auto eq = line.find('=');
    if (!current || eq == std::string::npos)
      continue;
    current->entries.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return Parse(std::string(std::istreambuf_iterator<char>(in), {}));
}

std::string IniFile::Serialise() const {
  std::string out;
  for (const auto& s : sections_) {
    out += "[" + s.name + "]\r\n";
    for (const auto& [k, v] : s.entries)
      out += k + "=" + v + "\r\n";
    out += "\r\n";
  }
  return out;
}

bool IniFile::Save(const std::string& path) const {
  const auto target = std::filesystem::u8path(path);
  auto temp = target;
  temp += ".tmp" + std::to_string(std::random_device{}());  // unique per writer
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << Serialise();
    if (!out.flush())
      return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
  if (ec)
    std::filesystem::remove(temp, ec);
  return !ec;
}

IniFile::Section* IniFile::Find(const std::string& name) {
  for (auto& s : sections_)
    if (SameText(s.name, name))
      return &s;
  return nullptr;
}

const IniFile::Section* IniFile::Find(const std::string& name) const {
  for (const auto& s : sections_)
    if (SameText(s.name, name))
      return &s;
  return nullptr;
}

std::string IniFile::Get(const std::string& section,
                         const std::string& key,
                         const std::string& fallback) const {
  if (const Section* s = Find(section))
    for (const auto& [k, v] : s->entries)
      if (SameText(k, key))
        return v;
  return fallback;
}

int IniFile::GetInt(const std::string& section, const std::string& key, int fallback) const {
  const std::string v = Get(section, key);
  try {
    std::size_t used = 0;
    const int n = std::stoi(v, &used);
    return used == v.size() ? n : fallback;
  } catch (...) {
    return fallback;
  }
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  Section* s = Find(section);
  if (!s) {
    sections_.push_back({section, {}});
    s = &sections_.back();
  }
  for (auto& [k, v] : s->entries)
    if (SameText(k, key)) {
      v = value;
      return;
    }
  s->entries.emplace_back(key, value);
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(
    const std::string& section) const {
  if (const Section* s = Find(section))
    return s->entries;
  return {};
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : sections_)
    names.push_back(s.name);
  return names;
}
