#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "archive/zip_archive.h"
#include "platform/fake/fake_platform.h"
#include "support/temp_dir.h"

namespace kv::test {

// A folder holding a destination "root/eu", neighbours that must never
// change ("root/us", "root/x.txt", "outside/canary.bin") and an "archives"
// folder for the archives under test.
class ArchiveSandbox {
 public:
  ArchiveSandbox() {
    writeFile(dir / "outside/canary.bin", std::string("\x00\x01" "canary" "\xFF", 9));
    writeFile(dir / "root/us/manifest.json", "[]\n");
    writeFile(dir / "root/x.txt", "keep me");
    std::filesystem::create_directories(destination);
    std::filesystem::create_directories(dir / "archives");
  }

  // Everything in the sandbox except the destination's content.
  std::map<std::string, std::string> outside() const {
    auto tree = snapshotTree(dir.path());
    std::erase_if(tree, [](const auto& item) {
      return item.first.starts_with("root/eu/") || item.first.starts_with("archives/");
    });
    return tree;
  }

  // The destination's content.
  std::map<std::string, std::string> inside() const { return snapshotTree(destination); }

  // Writes image as archives/name and extracts it into the destination.
  bool extract(const std::string& image, const std::string& name = "a.zip") {
    writeFile(dir / ("archives/" + name), image);
    return archive::extractZipArchive(dir / ("archives/" + name), destination, &window);
  }

  TempDir dir;
  std::string destination = dir / "root/eu";
  platform::fake::FakeWindow window;
};

}  // namespace kv::test
