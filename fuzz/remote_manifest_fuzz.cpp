// The remote manifest reader and the comparison with a local manifest: no
// crash or exception on any text; an accepted manifest holds only valid
// entries, writes out and reads back as itself, and the comparison asks only
// for remote paths with a total that never overflows.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "updater/endpoints.h"
#include "updater/manifest.h"
#include "updater/manifest_path.h"

namespace up = kv::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::size_t build = provider.ConsumeIntegralInRange<std::size_t>(0, 3);
  const std::string chosen(kv::kClientBuildNames[build]);
  const std::string localText = provider.ConsumeRandomLengthString(2048);
  const std::string remoteText = provider.ConsumeRemainingBytesAsString();

  up::ManifestMap remote;
  std::string reason;
  if (!up::readRemoteManifest(remoteText, chosen, remote, &reason)) {
    if (!remote.empty()) kv::fuzz::fail("a refused manifest left entries");
    return 0;
  }
  for (const auto& [path, entry] : remote) {
    if (path != entry.path) kv::fuzz::fail("entry filed under another path", path);
    if (!up::validateManifestPath(path)) kv::fuzz::fail("an unsafe path was accepted", path);
    if (entry.size < 0 || entry.size > up::kMaxManifestFileSize) kv::fuzz::fail("size out of range", path);
    for (const char* other : kv::kClientBuildNames) {
      if (path == std::string(other) + kv::kArchiveExtension && other != chosen) {
        kv::fuzz::fail("another build's archive kept", path);
      }
    }
  }
  up::ManifestMap reread;
  if (!up::readRemoteManifest(up::serializeManifest(remote), chosen, reread) || reread.size() != remote.size()) {
    kv::fuzz::fail("written manifest does not read back");
  }
  for (const auto& [path, entry] : remote) {
    const auto it = reread.find(path);
    if (it == reread.end() || it->second.hash != entry.hash || it->second.size != entry.size) {
      kv::fuzz::fail("written entry reads back differently", path);
    }
  }

  up::ManifestMap local;
  if (!up::readRemoteManifest(localText, chosen, local)) local.clear();
  const up::FetchPlan plan = up::compareManifests(remote, local);
  if (plan.totalBytes < 0) kv::fuzz::fail("negative total");
  for (const std::string& path : plan.paths) {
    if (remote.count(path) == 0) kv::fuzz::fail("fetch of a path the server does not list", path);
  }
  if (up::compareManifests(remote, remote).paths.size() != 0) kv::fuzz::fail("a manifest differs from itself");
  return 0;
}
