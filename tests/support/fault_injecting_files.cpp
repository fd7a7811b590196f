#include "support/fault_injecting_files.h"

#include <algorithm>
#include <filesystem>

namespace kv::test {
namespace {

using platform::FileFault;
using platform::FileOperation;

std::string normal(const std::string& path) {
  std::string text = std::filesystem::path(path).lexically_normal().generic_string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool changes(FileOperation operation) {
  return operation == FileOperation::Create || operation == FileOperation::Remove ||
         operation == FileOperation::Rename || operation == FileOperation::Exchange;
}

}  // namespace

FaultInjectingFiles::FaultInjectingFiles() : previous_(platform::installFileFaults(this)) {}

FaultInjectingFiles::~FaultInjectingFiles() { platform::installFileFaults(previous_); }

void FaultInjectingFiles::failNth(FileOperation operation, int nth, FileFault fault, const std::string& pathEnding) {
  const std::lock_guard<std::mutex> hold(mutex_);
  rules_.push_back({operation, nth, fault, pathEnding, false});
}

void FaultInjectingFiles::failFrom(FileOperation operation, int nth, FileFault fault,
                                   const std::string& pathEnding) {
  const std::lock_guard<std::mutex> hold(mutex_);
  rules_.push_back({operation, nth, fault, pathEnding, true});
}

void FaultInjectingFiles::lock(const std::string& path) {
  const std::lock_guard<std::mutex> hold(mutex_);
  locks_.push_back(normal(path));
}

void FaultInjectingFiles::unlock(const std::string& path) {
  const std::lock_guard<std::mutex> hold(mutex_);
  locks_.erase(std::remove(locks_.begin(), locks_.end(), normal(path)), locks_.end());
}

int FaultInjectingFiles::count(FileOperation operation) const {
  const std::lock_guard<std::mutex> hold(mutex_);
  const auto it = counts_.find(operation);
  return it == counts_.end() ? 0 : it->second;
}

void FaultInjectingFiles::setFreeSpace(std::optional<std::uint64_t> bytes) {
  const std::lock_guard<std::mutex> hold(mutex_);
  freeSpace_ = bytes;
}

std::optional<std::uint64_t> FaultInjectingFiles::freeSpace(const std::string&) {
  const std::lock_guard<std::mutex> hold(mutex_);
  return freeSpace_;
}

bool FaultInjectingFiles::locked(const std::string& path) const {
  if (path.empty()) return false;
  const std::string self = normal(path);
  const std::string parent = parentOf(self);
  return std::any_of(locks_.begin(), locks_.end(),
                     [&](const std::string& lock) { return lock == self || lock == parent; });
}

FileFault FaultInjectingFiles::before(FileOperation operation, const std::string& path, const std::string& target) {
  const std::lock_guard<std::mutex> hold(mutex_);
  ++counts_[operation];
  FileFault fault = FileFault::None;
  for (Rule& rule : rules_) {
    if (rule.operation != operation || !path.ends_with(rule.pathEnding)) continue;
    ++rule.seen;
    if (fault == FileFault::None && (rule.seen == rule.nth || (rule.repeat && rule.seen > rule.nth))) {
      fault = rule.fault;
    }
  }
  if (fault == FileFault::None && changes(operation) && (locked(path) || locked(target))) {
    fault = FileFault::Denied;
  }
  if (fault == FileFault::None && (operation == FileOperation::Rename || operation == FileOperation::Exchange)) {
    // A lock travels with what it locks.
    const std::string a = normal(path);
    const std::string b = normal(target);
    const auto below = [](const std::string& lock, const std::string& folder) {
      return lock == folder || lock.starts_with(folder + "/");
    };
    for (std::string& lock : locks_) {
      if (below(lock, a)) {
        lock = b + lock.substr(a.size());
      } else if (operation == FileOperation::Exchange && below(lock, b)) {
        lock = a + lock.substr(b.size());
      }
    }
  }
  return fault;
}

}  // namespace kv::test
