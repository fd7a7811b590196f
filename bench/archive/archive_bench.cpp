// kv_archive_bench extract <archive> <folder>   unpack an archive into a folder
// kv_archive_bench pack <folder> <archive>      pack a folder into an archive
// Exits 0 on success, 1 on failure, 2 on wrong usage.
#include <iostream>
#include <string>

#include "archive/zip_archive.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: kv_archive_bench extract <archive> <folder> | pack <folder> <archive>\n";
    return 2;
  }
  const std::string command = argv[1];
  if (command == "extract") return kv::archive::extractZipArchive(argv[2], argv[3], nullptr) ? 0 : 1;
  if (command == "pack") return kv::archive::createZipArchive(argv[2], argv[3]) ? 0 : 1;
  std::cerr << "unknown command: " << command << "\n";
  return 2;
}
