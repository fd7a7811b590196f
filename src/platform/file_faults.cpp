#include <atomic>

#include "platform/file_system.h"

namespace kv::platform {
namespace {

std::atomic<FileFaults*> installedFaults{nullptr};

}  // namespace

FileFaults* installFileFaults(FileFaults* faults) { return installedFaults.exchange(faults); }

FileFault injectedFileFault(FileOperation operation, const std::string& path, const std::string& target) {
  FileFaults* faults = installedFaults.load();
  return faults == nullptr ? FileFault::None : faults->before(operation, path, target);
}

std::optional<std::uint64_t> injectedFreeSpace(const std::string& path) {
  FileFaults* faults = installedFaults.load();
  return faults == nullptr ? std::nullopt : faults->freeSpace(path);
}

}  // namespace kv::platform
