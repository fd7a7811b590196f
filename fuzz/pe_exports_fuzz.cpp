// The export-table reader of Windows libraries on arbitrary images and
// names: it reads only inside the bytes (AddressSanitizer watches a buffer
// of exactly the input's size) and never crashes.
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "platform/pe/pe_exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string symbol = provider.ConsumeRandomLengthString(32);
  // A copy of exactly the image's size, so any read past its end is seen.
  const std::vector<std::uint8_t> image = provider.ConsumeRemainingBytes<std::uint8_t>();
  const std::span<const std::uint8_t> bytes(image.data(), image.size());
  (void)kv::platform::looksLikePeImage(bytes);
  (void)kv::platform::peExportsSymbol(bytes, symbol);
  (void)kv::platform::peExportsSymbol(bytes, "eglGetDisplay");
  (void)kv::platform::peExportsSymbol(bytes, "");
  return 0;
}
