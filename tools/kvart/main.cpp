// kvart SERVER_FOLDER [--label EU|US]: writes the demo art of a server folder.
#include <cstdio>
#include <string>

#include "demo_art.h"

int main(int argc, char** argv) {
  std::string folder;
  kv::art::ArtLabel label = kv::art::ArtLabel::EU;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--label" && i + 1 < argc) {
      const std::string value = argv[++i];
      if (value != "EU" && value != "US") {
        std::fprintf(stderr, "kvart: --label takes EU or US\n");
        return 2;
      }
      label = value == "EU" ? kv::art::ArtLabel::EU : kv::art::ArtLabel::US;
    } else if (folder.empty() && !arg.empty() && arg[0] != '-') {
      folder = arg;
    } else {
      folder.clear();
      break;
    }
  }
  if (folder.empty()) {
    std::fprintf(stderr, "usage: kvart SERVER_FOLDER [--label EU|US]\n");
    return 2;
  }
  std::string error;
  if (!kv::art::writeDemoArt(folder, label, error)) {
    std::fprintf(stderr, "kvart: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
