#include <iconv.h>
#include <langinfo.h>

#include "code_page.h"

namespace tokenlib {

namespace {

std::optional<SecretBytes> Convert(const std::string& from,
                                   const std::string& to,
                                   std::string_view text) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return std::nullopt;
  std::optional<SecretBytes> out(std::in_place, text.size() * 4 + 8);
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* outPtr = out->data();
  std::size_t outLeft = out->size();
  const std::size_t rv = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  // Anything but a full, reversible conversion (iconv counts irreversible
  // ones in rv) has no exact form.
  if (rv != 0 || inLeft != 0)
    return std::nullopt;
  out->Shrink(out->size() - outLeft);
  return out;
}

class IconvCodePage : public CodePage {
 public:
  explicit IconvCodePage(std::string name) : name_(std::move(name)) {}
  std::optional<SecretBytes> FromUtf8(std::string_view utf8) const override {
    return Convert("UTF-8", name_, utf8);
  }
  std::optional<SecretBytes> ToUtf8(std::string_view text) const override {
    return Convert(name_, "UTF-8", text);
  }

 private:
  std::string name_;
};

}  // namespace

const CodePage& SystemCodePage() {
  static const IconvCodePage codePage(nl_langinfo(CODESET));
  return codePage;
}

std::unique_ptr<CodePage> NamedCodePage(const std::string& name) {
  return std::make_unique<IconvCodePage>(name);
}

}  // namespace tokenlib
