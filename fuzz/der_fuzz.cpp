// Certificates of any content, as a token may hold them.
#include <span>

#include "base/der/der.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  if (const auto element = der::Read(in)) {
    if (element->content.data() < data || element->rest.data() + element->rest.size() > data + size)
      __builtin_trap();
  }
  der::CertificatePublicKey(in);
  der::CertificateUsage(in);
  der::CertificateExponentLength(in);
  if (const auto validity = der::CertificateValidity(in))
    if (validity->notBefore.size() != 14 || validity->notAfter.size() != 14)
      __builtin_trap();
  return 0;
}
