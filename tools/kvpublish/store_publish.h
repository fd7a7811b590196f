#pragma once

#include <string>

#include "object_store.h"
#include "publish.h"

namespace kv::tools {

// The Cache-Control an object of the site gets: the manifests and the
// version text "no-cache" (a CDN asks the store again every time), files
// named by their content (the chunk indexes) a year, every other file five minutes.
std::string cacheControlFor(const std::string& key);

// Publishes the client in request.clientDir for one server into store, with
// the checks, progress, summary, dry run, prune and strict of publishClient
// (request.siteDir is not used). The order is what keeps the site
// servable: first every new or changed file, each confirmed by the store,
// and the chunk indexes the previous manifest does not name (one the store
// holds with the right size stays); then "manifest.json", then "manifest.php", each written only if the
// object is still the one read at the start (so of two publishers at once
// one is refused); then "updater.php"; with prune last the objects below
// the server folder that neither the new nor the previous manifest names
// (files and the index files of their entries).
// A file is uploaded only when the previous manifest lists it otherwise
// and the store does not already hold its bytes (same size and ETag in one
// listing; left by a publication that stopped), so running a stopped
// publication again finishes it without sending anything twice. With a
// signing key the two signatures go up after the files and before the
// manifests, each written only if still as read at the start; with
// request.resign only the signatures, over the manifests the store holds
// (which must be what its signatures sign). False when the release is
// refused or the store failed; problems says why.
[[nodiscard]] bool publishToStore(const PublishRequest& request, ObjectStore& store, PublishReport& report);

}  // namespace kv::tools
