#pragma once
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/profile.h"

// An in-memory settings file: sections in insertion order, keys matched
// without regard to case, and values read back as the profile API reads them.
class FakeProfile : public ProfileStore {
 public:
  // Blanks trimmed, then one pair of enclosing quotes (double or single)
  // removed, then cut at kMaxProfileValue.
  static std::wstring AsTheProfileApiReadsIt(std::wstring value) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (!value.empty() && blank(value.back()))
      value.pop_back();
    std::size_t start = 0;
    while (start < value.size() && blank(value[start]))
      ++start;
    value.erase(0, start);
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value.substr(0, kMaxProfileValue);
  }

  FakeProfile& Set(const std::wstring& section, const std::wstring& key, const std::wstring& v) {
    auto& s = SectionRef(section);
    s[Lower(key)] = v;
    return *this;
  }
  std::wstring ReadString(const std::wstring& section,
                          const std::wstring& key,
                          const std::wstring& fallback) override {
    ++reads;
    const std::wstring wanted = Lower(section);
    for (const Section& s : sections_)
      if (s.lowerName == wanted) {
        const auto it = s.keys.find(Lower(key));
        if (it != s.keys.end())
          return AsTheProfileApiReadsIt(it->second);
      }
    return fallback;
  }
  bool WriteString(const std::wstring& section,
                   const std::wstring& key,
                   const std::wstring& value) override {
    if (failWritesAfter >= 0 && writes >= failWritesAfter)
      return false;
    ++writes;
    Set(section, key, value);
    return true;
  }
  std::vector<std::wstring> SectionNames() override {
    std::vector<std::wstring> out;
    for (const Section& s : sections_)
      out.push_back(s.name);
    return out;
  }
  void AddSection(const std::wstring& section) { SectionRef(section); }

  int reads = 0;
  int writes = 0;
  int failWritesAfter = -1;

 private:
  static std::wstring Lower(std::wstring s) {
    for (auto& c : s)
      if (c >= L'A' && c <= L'Z')
        c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
  }
  // The lower-case name is kept, so a lookup compares without copying.
  struct Section {
    std::wstring name;
    std::wstring lowerName;
    std::map<std::wstring, std::wstring> keys;
  };
  std::map<std::wstring, std::wstring>& SectionRef(const std::wstring& section) {
    const std::wstring wanted = Lower(section);
    for (Section& s : sections_)
      if (s.lowerName == wanted)
        return s.keys;
    sections_.push_back({section, wanted, {}});
    return sections_.back().keys;
  }
  std::vector<Section> sections_;
};

// A folder of fake settings files, shared with the code under test.
class FakeProfileFiles : public ProfileFiles {
 public:
  FakeProfile& File(const std::wstring& path) {
    auto& slot = files_[path];
    if (!slot)
      slot = std::make_shared<FakeProfile>();
    return *slot;
  }
  bool Exists(const std::wstring& path) override { return files_.count(path) != 0; }
  void Remove(const std::wstring& path) { files_.erase(path); }
  std::unique_ptr<ProfileStore> Open(const std::wstring& path) override {
    opened.push_back(path);
    if (!Exists(path))
      return std::make_unique<FakeProfile>();
    return std::make_unique<Shared>(files_[path]);
  }
  std::vector<std::wstring> opened;

 private:
  struct Shared : ProfileStore {
    explicit Shared(std::shared_ptr<FakeProfile> p) : p(std::move(p)) {}
    std::wstring ReadString(const std::wstring& s,
                            const std::wstring& k,
                            const std::wstring& f) override {
      return p->ReadString(s, k, f);
    }
    bool WriteString(const std::wstring& s, const std::wstring& k, const std::wstring& v) override {
      return p->WriteString(s, k, v);
    }
    std::vector<std::wstring> SectionNames() override { return p->SectionNames(); }
    std::shared_ptr<FakeProfile> p;
  };
  std::map<std::wstring, std::shared_ptr<FakeProfile>> files_;
};
