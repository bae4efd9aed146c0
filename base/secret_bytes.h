#pragma once
// Bytes of a secret (a PIN) in memory of their own, wiped before it goes. A
// move hands that memory over, so no copy stays behind: a short std::string
// keeps its characters inside the object, and moving it copies them there.
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

// Overwrites size bytes at data in a way the compiler cannot drop.
inline void WipeSecret(void* data, std::size_t size) {
  volatile auto* p = static_cast<volatile unsigned char*>(data);
  while (size--)
    *p++ = 0;
}

class SecretBytes {
 public:
  SecretBytes() = default;
  // size bytes of 0, and a terminating NUL beyond them.
  explicit SecretBytes(std::size_t size) : data_(new char[size + 1]()), size_(size) {}
  static SecretBytes Copy(std::string_view text) {
    SecretBytes secret(text.size());
    if (!text.empty())
      std::memcpy(secret.data_, text.data(), text.size());
    return secret;
  }
  ~SecretBytes() { Release(); }
  SecretBytes(SecretBytes&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  const char* c_str() const { return data_ ? data_ : ""; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {c_str(), size_}; }
  // Fewer bytes than were made room for (the rest wiped).
  void Shrink(std::size_t size) {
    if (size < size_) {
      WipeSecret(data_ + size, size_ - size);
      size_ = size;
    }
  }

 private:
  void Release() {
    if (data_)
      WipeSecret(data_, size_);
    delete[] data_;
    data_ = nullptr;
    size_ = 0;
  }
  char* data_ = nullptr;
  std::size_t size_ = 0;
};
