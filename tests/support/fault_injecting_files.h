#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kv::test {

// Fault injection for the platform's file operations, installed for the
// whole process while the object lives (and the faults installed before
// come back when it goes). Operations fail the way the system would fail
// them, so the callers' error paths run without privileges, immutable
// flags or a full disk. Any thread may run file operations meanwhile; the
// arranging calls belong to the test's thread.
class FaultInjectingFiles : public platform::FileFaults {
 public:
  FaultInjectingFiles();
  ~FaultInjectingFiles() override;
  FaultInjectingFiles(const FaultInjectingFiles&) = delete;
  FaultInjectingFiles& operator=(const FaultInjectingFiles&) = delete;

  // Fails the nth operation of this kind from now on (1: the next one) with
  // fault, once. With pathEnding, only operations on paths ending with it
  // are counted.
  void failNth(platform::FileOperation operation, int nth, platform::FileFault fault,
               const std::string& pathEnding = {});

  // The same, and every such operation after it too (a disk that stays
  // full).
  void failFrom(platform::FileOperation operation, int nth, platform::FileFault fault,
                const std::string& pathEnding = {});

  // Refuses every change to path as an immutable flag does: it cannot be
  // created, opened for writing, removed or renamed, and when it is a
  // folder nothing can be created, removed or renamed inside it. The lock
  // moves with path when path or a folder above it is renamed.
  void lock(const std::string& path);

  // Releases a lock set with lock(path), at path's present place.
  void unlock(const std::string& path);

  // How many operations of this kind were asked about so far.
  int count(platform::FileOperation operation) const;

  // Makes freeSpaceAt answer bytes for every path (nothing: the system's
  // answer again).
  void setFreeSpace(std::optional<std::uint64_t> bytes);

 private:
  struct Rule {
    platform::FileOperation operation;
    int nth;
    platform::FileFault fault;
    std::string pathEnding;
    bool repeat;
    int seen = 0;
  };

  platform::FileFault before(platform::FileOperation operation, const std::string& path,
                             const std::string& target) override;
  std::optional<std::uint64_t> freeSpace(const std::string& path) override;
  bool locked(const std::string& path) const;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<Rule> rules_;
  std::vector<std::string> locks_;
  std::map<platform::FileOperation, int> counts_;
  std::optional<std::uint64_t> freeSpace_;
  platform::FileFaults* previous_ = nullptr;
};

}  // namespace kv::test
