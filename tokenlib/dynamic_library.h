#pragma once
#include <string>

// A shared library loaded at run time: dlopen natively, LoadLibrary on Windows.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // A full path is loaded as given; a path with a relative folder is refused,
  // since it would be taken from the current directory. A bare name is looked
  // for in this library's own folder, then (on Windows) in System32; never in
  // the current directory.
  bool Open(const std::string& nameOrPath);
  void* Symbol(const char* name) const;
  void Close();
  // Leaves the library loaded for the rest of the process.
  void Forget() { handle_ = nullptr; }
  bool IsOpen() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

bool HasFolder(const std::string& nameOrPath);
// A folder in the name, but not a full path ("lib\\x.dll", "./x.so", "C:x.dll").
bool IsRelativeWithFolder(const std::string& nameOrPath);
