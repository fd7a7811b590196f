// The local manifest as found on disk ("manifest.json" in the server folder)
// and the quick check against a reference file: no crash on any bytes; an
// accepted manifest is written back whole and reads back as itself.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "updater/manifest.h"

namespace up = kv::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string quick = provider.ConsumeRandomLengthString(1024);
  const std::string bytes = provider.ConsumeRemainingBytesAsString();
  const std::string server = kv::fuzz::freshFolder("local");
  kv::fuzz::writeBytes(server + "/manifest.json", bytes);

  (void)up::quickManifestCheck(quick, server + "/manifest.json");
  up::ManifestMap local;
  if (!up::readLocalManifest(server, local)) return 0;
  if (!up::writeLocalManifest(server, local, up::FileSync::NoFlush)) kv::fuzz::fail("cannot write the manifest back");
  up::ManifestMap reread;
  if (!up::readLocalManifest(server, reread) || reread.size() != local.size()) {
    kv::fuzz::fail("written manifest does not read back");
  }
  for (const auto& [path, entry] : local) {
    const auto it = reread.find(path);
    if (it == reread.end() || it->second.hash != entry.hash || it->second.size != entry.size) {
      kv::fuzz::fail("written entry reads back differently", path);
    }
  }
  if (!up::quickManifestCheck(up::serializeManifest(local), server + "/manifest.json")) {
    kv::fuzz::fail("a manifest does not pass the quick check against itself");
  }
  return 0;
}
