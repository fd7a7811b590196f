#include "sweep_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "support/temp_dir.h"

namespace kv::test {

int sweepPoints(int quickDefault) {
  const char* text = std::getenv("KV_SWEEP_POINTS");
  if (text == nullptr || *text == '\0') return quickDefault;
  const int value = std::atoi(text);
  return value > 0 ? value : quickDefault;
}

std::mt19937 sweepRandom() {
  const char* text = std::getenv("KV_SWEEP_SEED");
  const unsigned seed = text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                                        : std::random_device{}();
  std::cout << "sweep seed (KV_SWEEP_SEED): " << seed << std::endl;
  return std::mt19937(seed);
}

std::vector<long> spreadPoints(long total, int count, std::mt19937& random) {
  std::vector<long> points;
  if (total <= 0 || count <= 0) return points;
  for (int i = 0; i < count; ++i) {
    const long from = 1 + total * i / count;
    const long to = std::max(from, total * (i + 1) / count);
    points.push_back(std::uniform_int_distribution<long>(from, to)(random));
  }
  return points;
}

std::string buildProgram(const std::string& name) {
  const char* dir = std::getenv("KV_BIN_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + name;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/" + name;
}

std::vector<std::string> faultEnvironment(const FaultPlan& plan) {
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') {
    asan = std::string(old) + ":" + asan;
  }
  std::vector<std::string> env = {"LD_PRELOAD=" + buildProgram("libkv_write_fault_shim.so"),
                                  "ASAN_OPTIONS=" + asan,
                                  "KV_FAULT_MATCH=" + plan.match,
                                  "KV_FAULT_AT=" + std::to_string(plan.writeAt),
                                  "KV_FAULT_ACTION=" + std::string(plan.diskFull ? "enospc" : "kill"),
                                  "KV_FAULT_RENAME_AT=" + std::to_string(plan.renameAt)};
  if (!plan.countFile.empty()) env.push_back("KV_FAULT_REPORT=" + plan.countFile);
  if (!plan.renameCountFile.empty()) env.push_back("KV_FAULT_RENAME_REPORT=" + plan.renameCountFile);
  return env;
}

long readCount(const std::string& path) {
  std::ifstream in(path);
  long value = -1;
  if (!(in >> value)) return -1;
  return value;
}

std::map<std::string, std::string> snapshotWithout(const std::string& root, const std::vector<std::string>& skipped) {
  std::map<std::string, std::string> tree = snapshotTree(root);
  std::erase_if(tree, [&](const auto& item) {
    for (const std::string& prefix : skipped) {
      if (item.first.rfind(prefix, 0) == 0) return true;
    }
    return false;
  });
  return tree;
}

}  // namespace kv::test
