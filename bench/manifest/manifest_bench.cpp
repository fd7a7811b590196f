// Manifest handling at 1,000, 10,000 and 100,000 entries: parsing the remote
// manifest, reading the local one, comparing them and writing the local one
// back, alone and as the sequence an update run goes through.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "signing/minisign.h"
#include "signing/release_claim.h"
#include "updater/manifest.h"

namespace {

using kv::updater::FetchPlan;
using kv::updater::FileSync;
using kv::updater::ManifestEntry;
using kv::updater::ManifestMap;

constexpr const char* kChosenBuild = "vdclient_dx_x64";

// A 64-digit hexadecimal text standing in for a SHA-256 content hash.
std::string hashText(std::uint64_t seed) {
  static const char digits[] = "0123456789abcdef";
  std::string text(64, '0');
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (char& c : text) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = digits[state & 15U];
  }
  return text;
}

// One installation of count files in nested folders, sizes 1 KiB to 4 MiB.
ManifestMap makeManifest(std::int64_t count, std::uint64_t salt) {
  ManifestMap map;
  for (std::int64_t i = 0; i < count; ++i) {
    ManifestEntry entry;
    entry.path = "data/area" + std::to_string(i % 37) + "/pack" + std::to_string(i % 11) + "/file" +
                 std::to_string(i) + ".dat";
    entry.hash = hashText(static_cast<std::uint64_t>(i) + salt);
    entry.size = 1024 + (i * 7919) % (4 * 1024 * 1024);
    map.emplace(entry.path, entry);
  }
  return map;
}

// The data of one size: the remote manifest as the site sends it, and a local
// manifest on disk that differs from it in a tenth of its files and lacks a
// twentieth of them.
struct Fixture {
  std::string remoteText;
  ManifestMap remote;
  ManifestMap local;
  std::string localDir;  // holds "manifest.json" = local
  std::string outDir;    // where the benchmarks write
};

std::filesystem::path& workFolder() {
  static std::filesystem::path folder;
  return folder;
}

const Fixture& fixtureFor(std::int64_t count) {
  static std::map<std::int64_t, Fixture> fixtures;
  auto found = fixtures.find(count);
  if (found != fixtures.end()) return found->second;
  Fixture fixture;
  fixture.remote = makeManifest(count, 0);
  fixture.remoteText = kv::updater::serializeManifest(fixture.remote);
  std::int64_t index = 0;
  for (const auto& [path, entry] : fixture.remote) {
    if (index % 20 != 7) {
      ManifestEntry copy = entry;
      if (index % 10 == 3) copy.hash = hashText(static_cast<std::uint64_t>(index) + 1000003);
      fixture.local.emplace(path, copy);
    }
    ++index;
  }
  const std::filesystem::path base = workFolder() / std::to_string(count);
  fixture.localDir = (base / "local").string();
  fixture.outDir = (base / "out").string();
  if (!kv::updater::writeLocalManifest(fixture.localDir, fixture.local, FileSync::NoFlush)) {
    std::fprintf(stderr, "kv_manifest_bench: cannot write %s\n", fixture.localDir.c_str());
    std::exit(1);
  }
  return fixtures.emplace(count, std::move(fixture)).first->second;
}

void BM_ParseRemote(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  for (auto _ : state) {
    ManifestMap remote;
    if (!kv::updater::readRemoteManifest(fixture.remoteText, kChosenBuild, remote)) state.SkipWithError("parse");
    benchmark::DoNotOptimize(remote);
  }
  state.SetComplexityN(state.range(0));
}

void BM_ReadLocal(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  for (auto _ : state) {
    ManifestMap local;
    if (!kv::updater::readLocalManifest(fixture.localDir, local)) state.SkipWithError("read");
    benchmark::DoNotOptimize(local);
  }
  state.SetComplexityN(state.range(0));
}

void BM_Compare(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  for (auto _ : state) {
    FetchPlan plan = kv::updater::compareManifests(fixture.remote, fixture.local);
    benchmark::DoNotOptimize(plan);
  }
  state.SetComplexityN(state.range(0));
}

void BM_WriteLocal(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  for (auto _ : state) {
    if (!kv::updater::writeLocalManifest(fixture.outDir, fixture.remote, FileSync::NoFlush)) {
      state.SkipWithError("write");
    }
  }
  state.SetComplexityN(state.range(0));
}

// What an update run does with its manifests: parse the remote one, read the
// local one, compare, and write the local one that lists every file.
void BM_ParseCompareWrite(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  for (auto _ : state) {
    ManifestMap remote;
    ManifestMap local;
    if (!kv::updater::readRemoteManifest(fixture.remoteText, kChosenBuild, remote) ||
        !kv::updater::readLocalManifest(fixture.localDir, local)) {
      state.SkipWithError("read");
    }
    const FetchPlan plan = kv::updater::compareManifests(remote, local);
    for (const std::string& path : plan.paths) local[path] = remote.at(path);
    if (!kv::updater::writeLocalManifest(fixture.outDir, local, FileSync::NoFlush)) state.SkipWithError("write");
    benchmark::DoNotOptimize(plan);
  }
  state.SetComplexityN(state.range(0));
}

// What a launcher with release keys adds for each manifest it acts on:
// reading the signature file and checking it (BLAKE2b-512 of the whole
// manifest, then two Ed25519 verifications) and reading its claim.
void BM_VerifySignature(benchmark::State& state) {
  const Fixture& fixture = fixtureFor(state.range(0));
  static const kv::signing::SecretKey key = kv::signing::generateSecretKey();
  const std::vector<kv::signing::PublicKey> trusted{kv::signing::publicKeyOf(key)};
  const std::string signature =
      kv::signing::signMessage(key, fixture.remoteText, kv::signing::releaseClaimText({"eu", 12, 1799348400}), "bench");
  for (auto _ : state) {
    const auto sig = kv::signing::parseSignatureFile(signature);
    if (!sig || kv::signing::verifySignature(fixture.remoteText, *sig, trusted) != kv::signing::Verdict::Valid ||
        !kv::signing::parseReleaseClaim(sig->trustedComment)) {
      state.SkipWithError("verify");
    }
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(fixture.remoteText.size()));
}

#define KV_MANIFEST_SIZES(bench) \
  BENCHMARK(bench)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN)

KV_MANIFEST_SIZES(BM_ParseRemote);
KV_MANIFEST_SIZES(BM_ReadLocal);
KV_MANIFEST_SIZES(BM_Compare);
KV_MANIFEST_SIZES(BM_WriteLocal);
KV_MANIFEST_SIZES(BM_ParseCompareWrite);
KV_MANIFEST_SIZES(BM_VerifySignature);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::error_code error;
  std::string folderTemplate = (std::filesystem::temp_directory_path(error) / "kv-manifest-bench-XXXXXX").string();
  const char* base = ::mkdtemp(folderTemplate.data());
  if (base == nullptr) {
    std::fprintf(stderr, "kv_manifest_bench: cannot make a temporary folder\n");
    return 1;
  }
  workFolder() = base;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(workFolder(), error);
  return 0;
}
