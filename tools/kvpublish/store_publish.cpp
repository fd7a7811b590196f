#include "store_publish.h"

#include <algorithm>
#include <map>
#include <set>

#include "file_hash.h"
#include "publish_signing.h"
#include "publish_work.h"
#include "quoted_name.h"
#include "base/launcher_files.h"
#include "delta/chunk_index.h"
#include "updater/endpoints.h"
#include "updater/manifest_path.h"

#include <nlohmann/json.hpp>

namespace kv::tools {
namespace {

constexpr unsigned kUploadThreads = 4;

bool endsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

PutOptions optionsFor(const std::string& key, const std::string& sha256) {
  PutOptions options;
  options.sha256 = sha256;
  options.cacheControl = cacheControlFor(key);
  options.contentType = endsWith(key, ".json") ? "application/json"
                        : endsWith(key, ".php") || endsWith(key, ".txt") || endsWith(key, ".minisig")
                            ? "text/plain; charset=utf-8"
                            : "application/octet-stream";
  return options;
}

// One manifest object as the publication found it at the start.
struct ManifestObject {
  std::string key;
  bool exists = false;
  StoredObject facts;
};

// The condition that keeps a manifest write from overwriting another
// publisher's.
WriteCondition conditionFor(const ManifestObject& object) {
  WriteCondition condition;
  if (!object.exists) {
    condition.kind = WriteCondition::Kind::IfAbsent;
  } else {
    condition.kind = WriteCondition::Kind::IfMatch;
    condition.etag = object.facts.etag;
  }
  return condition;
}

bool readFacts(ObjectStore& store, ManifestObject& object, std::vector<std::string>& problems) {
  std::string error;
  const StoreOutcome outcome = store.head(object.key, object.facts, error);
  if (outcome == StoreOutcome::Failed) {
    problems.push_back(error);
    return false;
  }
  object.exists = outcome == StoreOutcome::Done;
  return true;
}

// Writes text as object.key unless the store already holds it. A write that
// finds another object than the one read at the start is refused.
bool switchObject(ObjectStore& store, const ManifestObject& object, const std::string& text, bool conditional,
                  bool dryRun, bool& changed, std::string& error) {
  const std::string sha256 = sha256Hex(text);
  changed = !object.exists || object.facts.sha256 != sha256;
  if (!changed || dryRun) return true;
  PutOptions options = optionsFor(object.key, sha256);
  if (conditional) options.condition = conditionFor(object);
  const StoreOutcome outcome = store.putText(object.key, text, options, error);
  if (outcome == StoreOutcome::ConditionFailed) {
    error = "another publication changed " + store.describe() + "/" + object.key +
            " since this one read it, so this one switched nothing from there on; publish again when the "
            "other one has finished (" +
            error + ")";
  }
  return outcome == StoreOutcome::Done;
}

// Reads a published manifest with the entries of every build (the
// launcher's reading keeps the archive of one build only). False when it is
// not a list of entries with safe paths.
bool readPublishedManifest(const std::string& text, updater::ManifestMap& out) {
  try {
    const auto json = nlohmann::json::parse(text);
    if (!json.is_array()) return false;
    for (const auto& item : json) {
      updater::ManifestEntry entry;
      entry.path = item.at("path").get<std::string>();
      entry.hash = item.at("hash").get<std::string>();
      entry.size = item.value("size", std::int64_t{0});
      if (!updater::validateManifestPath(entry.path)) return false;
      entry.index = updater::readIndexRef(item);
      out[entry.path] = entry;
    }
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// The index files (head and fine file) the manifest names.
void addIndexPaths(const updater::ManifestMap& manifest, std::set<std::string>& paths) {
  for (const auto& [path, entry] : manifest) {
    if (!entry.index) continue;
    paths.insert(entry.index->path);
    paths.insert(delta::fineFilePath(entry.index->path));
  }
}

// The signature objects beside the two manifests, as found at the start
// (their text too: the current release is read from the full one's).
struct SignatureObjects {
  ManifestObject full, quick;
  std::string fullText, quickText;
};

bool readSignatures(ObjectStore& store, const std::string& serverKey, SignatureObjects& out,
                    std::vector<std::string>& problems) {
  out.full.key = serverKey + signatureName(updater::kFullManifestEndpoint);
  out.quick.key = serverKey + signatureName(updater::kQuickManifestEndpoint);
  for (auto [object, text] : {std::pair{&out.full, &out.fullText}, std::pair{&out.quick, &out.quickText}}) {
    std::string error;
    const StoreOutcome got = store.getSmall(object->key, *text, object->facts, error);
    if (got == StoreOutcome::Failed) {
      problems.push_back(error);
      return false;
    }
    object->exists = got == StoreOutcome::Done;
    if (!object->exists) text->clear();
  }
  return true;
}

// Writes both signatures, each only if the object is still the one read at
// the start.
bool writeSignatures(ObjectStore& store, const PublishRequest& request, const SignatureObjects& objects,
                     const std::string& fullDocument, const std::string& quickDocument, PublishReport& report) {
  bool changed = false;
  std::string error;
  if (!switchObject(store, objects.full, signManifest(request, report.claim, fullDocument), true, request.dryRun,
                    changed, error) ||
      !switchObject(store, objects.quick, signManifest(request, report.claim, quickDocument), true, request.dryRun,
                    changed, error)) {
    report.problems.push_back(error);
    return false;
  }
  report.signatureWritten = true;
  return true;
}

// --resign into a store: new signatures over the manifests it holds.
bool resignStore(const PublishRequest& request, ObjectStore& store, PublishReport& report) {
  report = PublishReport{};
  const std::string serverKey = "download/" + request.serverFolder + "/";
  SignatureObjects signatures;
  if (!readSignatures(store, serverKey, signatures, report.problems)) return false;
  std::string documents[2];
  const std::string names[2] = {std::string(updater::kFullManifestEndpoint),
                                std::string(updater::kQuickManifestEndpoint)};
  const std::string* signatureTexts[2] = {&signatures.fullText, &signatures.quickText};
  for (int i = 0; i < 2; ++i) {
    StoredObject facts;
    std::string error;
    const StoreOutcome got = store.getSmall(serverKey + names[i], documents[i], facts, error);
    if (got != StoreOutcome::Done) {
      report.problems.push_back(got == StoreOutcome::Missing ? "the store has no " + names[i] + " to sign again"
                                                             : error);
      return false;
    }
    if (signatureTexts[i]->empty()) {
      report.problems.push_back("the store has no signature of " + names[i] + " to renew");
      return false;
    }
    if (!checkSignedManifest(request, names[i], documents[i], *signatureTexts[i], error)) {
      report.problems.push_back(error);
      return false;
    }
  }
  std::string error;
  if (!claimFor(request, signatures.fullText, report.claim, error)) {
    report.problems.push_back(error);
    return false;
  }
  return writeSignatures(store, request, signatures, documents[0], documents[1], report);
}

}  // namespace

std::string cacheControlFor(const std::string& key) {
  const std::string name = key.substr(key.rfind('/') + 1);
  if (name == updater::kFullManifestEndpoint || name == updater::kQuickManifestEndpoint ||
      name == updater::kVersionEndpoint || name == signatureName(updater::kFullManifestEndpoint) ||
      name == signatureName(updater::kQuickManifestEndpoint)) {
    return "no-cache";
  }
  // Files named by their content never change under their name.
  if (endsWith(name, ".chunks") || endsWith(name, ".idx") || endsWith(name, kIndexHeadExtension) ||
      endsWith(name, kIndexFineExtension)) {
    return "public, max-age=31536000, immutable";
  }
  return "public, max-age=300";
}

bool publishToStore(const PublishRequest& request, ObjectStore& store, PublishReport& report) {
  if (request.resign) return resignStore(request, store, report);
  CheckedRelease release;
  if (!checkRelease(request, report, release)) return false;

  const std::string serverKey = "download/" + request.serverFolder + "/";
  ManifestObject full{serverKey + std::string(updater::kFullManifestEndpoint)};
  ManifestObject quick{serverKey + std::string(updater::kQuickManifestEndpoint)};
  ManifestObject version{"download/" + std::string(updater::kVersionEndpoint)};
  // The full manifest is read whole (it is the only object that is): it
  // tells what the store already holds.
  std::string previousText, error;
  const StoreOutcome got = store.getSmall(full.key, previousText, full.facts, error);
  if (got == StoreOutcome::Failed) {
    report.problems.push_back(error);
    return false;
  }
  full.exists = got == StoreOutcome::Done;
  if (!readFacts(store, quick, report.problems) || !readFacts(store, version, report.problems)) return false;
  updater::ManifestMap previous;
  if (full.exists) {
    if (readPublishedManifest(previousText, previous)) {
      report.hadPreviousManifest = true;
    } else {
      previous.clear();
      report.warnings.push_back("the previous manifest of " + quotedName(request.serverFolder) +
                                " cannot be read: every file counts as added");
    }
  }
  listChanges(release.manifest, previous, report);
  // The signatures are looked at only when signing: an unsigned site costs
  // no request more than before.
  SignatureObjects signatures;
  signatures.full.key = serverKey + signatureName(updater::kFullManifestEndpoint);
  signatures.quick.key = serverKey + signatureName(updater::kQuickManifestEndpoint);
  if (request.signingKey) {
    if (!readSignatures(store, serverKey, signatures, report.problems)) return false;
    if (!claimFor(request, signatures.fullText, report.claim, error)) {
      report.problems.push_back(error);
      return false;
    }
  }

  const std::size_t count = release.entries.size();
  const unsigned threads = request.threads > 0 ? request.threads : kUploadThreads;
  std::vector<std::string> errors(count);
  std::vector<char> uploaded(count, 0);
  // What the previous manifest lists is there: it was confirmed before that
  // manifest was switched. Of the rest, one listing tells which the store
  // already holds (left by a publication that stopped): same size and the
  // ETag these bytes get.
  std::vector<char> unlisted(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const updater::ManifestEntry& entry = release.entries[i];
    const auto old = previous.find(entry.path);
    unlisted[i] = old == previous.end() || old->second.hash != entry.hash || old->second.size != entry.size;
  }
  // The chunk indexes the previous manifest does not name; those it names
  // are there (named by content, so the same path is the same bytes).
  std::vector<char> newIndex(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const updater::ManifestEntry& entry = release.entries[i];
    const auto old = previous.find(entry.path);
    newIndex[i] = release.indexes[i] && entry.index &&
                  (old == previous.end() || !old->second.index || old->second.index->path != entry.index->path);
  }
  std::map<std::string, StoredObject> held;
  if ((std::find(unlisted.begin(), unlisted.end(), 1) != unlisted.end() ||
       std::find(newIndex.begin(), newIndex.end(), 1) != newIndex.end()) &&
      store.list(serverKey, held, error) != StoreOutcome::Done) {
    report.problems.push_back(error);
    return false;
  }
  {
    Step step(request.progress, request.dryRun ? "comparing" : "uploading", count, report.totalBytes);
    forEachIndex(count, threads, [&](std::size_t i) {
      const updater::ManifestEntry& entry = release.entries[i];
      FileMeter meter(request.progress, entry.size);
      const std::string key = serverKey + entry.path;
      bool needed = unlisted[i] != 0;
      const auto there = held.find(key);
      if (needed && there != held.end() && there->second.size == entry.size) {
        std::string etag;
        if (!store.etagOf(release.sources[i], entry.size, etag, errors[i])) return false;
        needed = etag != there->second.etag;
      }
      if (needed && !request.dryRun) {
        if (store.putFile(key, release.sources[i], entry.size, optionsFor(key, entry.hash), meter.callback(),
                          errors[i]) != StoreOutcome::Done) {
          return false;
        }
        // The file may have changed since it was hashed.
        std::string digest, readError;
        std::int64_t size = 0;
        if (!hashFile(release.sources[i], digest, size, readError) || digest != entry.hash) {
          errors[i] = quotedName(release.sources[i]) + " changed while it was published";
          return false;
        }
      }
      uploaded[i] = needed ? 1 : 0;
      meter.finish();
      return true;
    });
    collectErrors(errors, report.problems);
  }
  if (!report.problems.empty()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (uploaded[i] == 0) continue;
    ++report.filesCopied;
    report.bytesCopied += release.entries[i].size;
  }
  // The indexes go with the files, before the manifests that name them; one
  // the store already holds with the right size stays.
  for (std::size_t i = 0; i < count; ++i) {
    if (newIndex[i] == 0) continue;
    const std::string& headPath = release.entries[i].index->path;
    bool wrote = false;
    for (const auto& [path, bytes] : {std::pair<std::string, const std::string*>{headPath, &release.indexes[i]->head},
                                      {delta::fineFilePath(headPath), &release.indexes[i]->fine}}) {
      const std::string key = serverKey + path;
      const auto there = held.find(key);
      if (there != held.end() && there->second.size == static_cast<std::int64_t>(bytes->size())) continue;
      wrote = true;
      if (request.dryRun) continue;
      if (store.putText(key, *bytes, optionsFor(key, sha256Hex(*bytes)), error) != StoreOutcome::Done) {
        report.problems.push_back(error);
        return false;
      }
    }
    if (wrote) ++report.indexesWritten;
  }

  // The signatures before the manifests they sign (see publishToStore).
  if (request.signingKey && !writeSignatures(store, request, signatures, release.document, release.document, report)) {
    return false;
  }
  // The quick form carries the stamp the launcher checks first, so it goes last.
  bool fullChanged = false, quickChanged = false;
  if (!switchObject(store, full, release.document, true, request.dryRun, fullChanged, error) ||
      !switchObject(store, quick, release.document, true, request.dryRun, quickChanged, error) ||
      !switchObject(store, version, request.versionText, false, request.dryRun, report.versionChanged, error)) {
    report.problems.push_back(error);
    return false;
  }
  report.manifestChanged = fullChanged || quickChanged;

  if (request.prune) {
    std::map<std::string, StoredObject> objects;
    if (store.list(serverKey, objects, error) != StoreOutcome::Done) {
      report.problems.push_back(error);
      return false;
    }
    std::set<std::string> indexPaths;
    addIndexPaths(release.manifest, indexPaths);
    addIndexPaths(previous, indexPaths);
    for (const auto& [key, object] : objects) {
      const std::string path = key.substr(serverKey.size());
      if (key == full.key || key == quick.key || key == signatures.full.key || key == signatures.quick.key ||
          release.manifest.count(path) != 0 || previous.count(path) != 0 || indexPaths.count(path) != 0) {
        continue;
      }
      report.pruned.push_back(path);
    }
    std::sort(report.pruned.begin(), report.pruned.end());
    for (const auto& path : report.pruned) {
      if (request.dryRun) break;
      if (store.remove(serverKey + path, error) != StoreOutcome::Done) {
        report.problems.push_back(error);
        return false;
      }
    }
  }
  return true;
}

}  // namespace kv::tools
