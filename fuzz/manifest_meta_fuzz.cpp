// The "manifest.meta" reader on arbitrary bytes, and the record's round
// trip: a stamp written by the launcher reads back unchanged.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "updater/manifest_meta.h"

namespace up = kv::updater;

namespace {

// Stamps the launcher stores: printable ASCII and inner blanks.
bool isStorableStamp(const std::string& value) {
  if (value.empty() || value.front() == ' ' || value.back() == ' ') return false;
  for (char c : value) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string stamp = provider.ConsumeRandomLengthString(64);
  const std::string bytes = provider.ConsumeRemainingBytesAsString();
  const std::string server = kv::fuzz::freshFolder("meta");
  kv::fuzz::writeBytes(server + "/manifest.meta", bytes);

  std::string target = "unchanged";
  if (!up::readManifestMeta(server, target)) kv::fuzz::fail("an existing record could not be read");
  if (target != "unchanged" && target.find('\n') != std::string::npos) kv::fuzz::fail("stamp holds a line feed");

  if (!up::writeManifestMeta(server, stamp)) kv::fuzz::fail("cannot write the record");
  std::string reread;
  if (!up::readManifestMeta(server, reread)) kv::fuzz::fail("the written record could not be read");
  if (isStorableStamp(stamp) && reread != stamp) kv::fuzz::fail("stamp reads back differently", stamp);
  return 0;
}
