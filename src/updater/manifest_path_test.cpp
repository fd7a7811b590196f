#include "updater/manifest_path.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::updater {
namespace {

TEST(ManifestPath, AcceptsOrdinaryRelativePaths) {
  const char* valid[] = {
      "a.pak",
      "data/x.pak",
      "vdclient_gl_x64.zip",
      "da ta/x y.pak",
      "musique/\xC3\xA9t\xC3\xA9.ogg",
      "a#b/c.pak",
      "100%/c.pak",
      ".hidden/file",
      "data/..x/y",
      "configs/x.kvml",       // only the exact launcher folders are refused
      "data/config/x.kvml",   // deeper "config" folders belong to the client
      "data/manifest.json",
      "data/manifest.json.backup",  // leftovers are removed beside the top-level files only
      "manifest.json.bak-1",        // not the form of a temporary
      "manifest.json.Ab12C",
      "CONSOLE.pak",
      "com0.pak",
      "lpt10.pak",
      "a.kvparts",        // not the download temporary form
      "kvpart",
      "a.kvpartx.pak",
  };
  for (const char* path : valid) EXPECT_TRUE(validateManifestPath(path)) << path;
}

TEST(ManifestPath, RefusesEverythingThatCouldLeaveOrHurtTheServerFolder) {
  const std::string refused[] = {
      "",
      ".",
      "..",
      "/etc/x",
      "//srv/share/x",
      "C:/x",
      "C:x",
      "x.pak:stream",
      "\\\\srv\\share\\x",
      "a\\b.pak",
      std::string("data/x.dll\0.txt", 15),
      "data/x\x07.pak",
      "data/x\x7F.pak",
      "data/x\n.pak",
      "data/",
      "data//x",
      "data/./x",
      "data/..",
      "../us/manifest.json",
      "a/../../x",
      "x.pak.",
      "x.pak ",
      "data./x",
      "data/CON.pak",
      "con",
      "NUL.txt",
      "Aux",
      "prn.x.y",
      "COM1",
      "lpt9.dll",
      "manifest.json",
      "manifest.meta",
      "MANIFEST.JSON",
      "Manifest.Meta",
      "manifest.json.backup",  // would be removed as a leftover temporary
      "manifest.json.Ab12Cd",
      "manifest.meta.4242_17",
      "update.journal",
      "Unpacked.json",
      "unpacked.json.Ab12Cd",
      "update.lock",
      "Release.State",
      "release.state.Ab12Cd",
      "config/config.kvml",
      "CONFIG/x",
      "config",
      "config_backup/x",
      "Config_Backup/y/z",
      "a.pak.kvpart",  // a download temporary, in any folder and any case
      "data/a.pak.KVPART",
      "data.kvpart/a.pak",
      "a.kvpart.info",
      "kvindex/0a.kvi",  // the chunk indexes' folder
      "KVIndex/x.pak",
      "kvindex",
  };
  for (const std::string& path : refused) EXPECT_FALSE(validateManifestPath(path)) << path;
}

TEST(ManifestPath, IndexHeadPathsAreOneSafeNameInTheIndexFolder) {
  const std::pair<std::string, bool> cases[] = {
      {"kvindex/0a1b.kvi", true},
      {"kvindex/x y.kvi", true},
      {"kvindex/0a1b.kvf", false},
      {"kvindex/.kvi", false},
      {"kvindex/", false},
      {"kvindex/a/b.kvi", false},
      {"kvindex/../x.kvi", false},
      {"kvindex/..kvi", true},  // an odd name, but one name
      {"kvindex/a.kvi/", false},
      {"data/0a1b.kvi", false},
      {"KVINDEX/0a1b.kvi", false},
      {"/kvindex/0a1b.kvi", false},
      {"kvindex\\0a1b.kvi", false},
      {"kvindex/a:b.kvi", false},
      {"kvindex/con.kvi", false},
      {"kvindex/a.kvi.kvpart", false},
      {std::string("kvindex/a\0.kvi", 14), false},
  };
  for (const auto& [path, valid] : cases) EXPECT_EQ(validIndexHeadPath(path), valid) << path;
}

}  // namespace
}  // namespace kv::updater
