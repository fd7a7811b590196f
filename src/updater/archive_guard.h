#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "archive/zip_archive.h"
#include "updater/manifest.h"

namespace kv::updater {

// Whether the file at this manifest path is unpacked where it lies when it
// arrives: every ".zip" except "oldlibs.zip" at the top of the server folder.
[[nodiscard]] bool isUnpackedArchive(std::string_view manifestPath);

// The sub-folder of the server folder that the archive at this manifest path
// is unpacked into: "" for the server folder itself, else ending in "/".
[[nodiscard]] std::string archiveFolderOf(std::string_view manifestPath);

// Whether entry of an archive unpacked into archiveFolder (see
// archiveFolderOf) lands on a path that validateManifestPath accepts, by its
// stored name and by its UTF-8 name: no entry may replace the launcher's own
// manifest, Last-Modified record or configuration. Any thread.
[[nodiscard]] bool entryLandsSafely(const archive::ZipEntryInfo& entry, std::string_view archiveFolder);

// Why entry does not land safely (see manifestPathProblem), for its stored
// name first; "" when it does.
[[nodiscard]] std::string entryLandingProblem(const archive::ZipEntryInfo& entry, std::string_view archiveFolder);

// Whether every entry of the downloaded archive lands safely. An archive
// that cannot be read counts as safe here (its extraction reports the
// damage). Worker thread. Never throws.
[[nodiscard]] bool archiveEntriesAreSafe(const archive::ArchiveToExtract& zip, std::string_view archiveFolder);

// The path below the server folder where entry of an archive unpacked into
// archiveFolder lands (a folder entry without its final "/").
[[nodiscard]] std::string entryLandingPath(const archive::ZipEntryInfo& entry, std::string_view archiveFolder);

// One owner per installed path: a file the manifest lists owns its path, so
// an archive entry that lands on a listed path, below a listed file, or (as a
// file) where a listed path needs a folder is never unpacked, whatever the
// order in which the files arrive. Nothing when the entry landing at
// landingPath is free to unpack, else the listed path that owns it.
[[nodiscard]] std::optional<std::string> listedOwnerOf(std::string_view landingPath, bool folderEntry,
                                                       const ManifestMap& listed);

}  // namespace kv::updater
