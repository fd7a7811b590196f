#include "archive/output_file.h"

#include <utility>

namespace kv::archive {

namespace {

// At most this many folders stay open at once.
constexpr std::size_t kMaxOpenFolders = 64;

// The Unix mode bits that archives store, whatever system extracts them.
constexpr std::uint32_t kTypeMask = 0170000;
constexpr std::uint32_t kRegularType = 0100000;
constexpr std::uint32_t kOwnerExecute = 0100;

}  // namespace

bool isExecutableMode(std::optional<std::uint32_t> unixMode) {
  if (!unixMode) return false;
  const std::uint32_t type = *unixMode & kTypeMask;
  return (type == 0 || type == kRegularType) && (*unixMode & kOwnerExecute) != 0;
}

OutputFile::~OutputFile() = default;

bool OutputFile::write(const char* data, std::size_t size) { return file_.write(data, size); }

bool OutputFile::finish() { return file_.close(); }

DestinationFolder::DestinationFolder(std::string path) : path_(std::move(path)) {}

DestinationFolder::~DestinationFolder() = default;

const platform::Folder* DestinationFolder::folder(const std::string& relativeFolder) {
  if (const auto found = folders_.find(relativeFolder); found != folders_.end()) return &found->second;
  if (folders_.size() >= kMaxOpenFolders) folders_.clear();
  platform::Folder opened;
  if (relativeFolder.empty()) {
    opened = platform::openFolder(path_);
  } else {
    const std::size_t slash = relativeFolder.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : relativeFolder.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? relativeFolder : relativeFolder.substr(slash + 1);
    const platform::Folder* parentFolder = folder(parent);
    if (parentFolder == nullptr) return nullptr;
    opened = platform::openFolderIn(*parentFolder, leaf);
    // A missing folder is made; whatever stands there afterwards is opened
    // only when it is a folder and not a link.
    if (!opened.ok() && platform::pathKindIn(*parentFolder, leaf) == platform::PathKind::Missing &&
        platform::makeFolderIn(*parentFolder, leaf) != platform::CreateOutcome::Failed) {
      opened = platform::openFolderIn(*parentFolder, leaf);
    }
  }
  if (!opened.ok()) return nullptr;
  return &folders_.emplace(relativeFolder, std::move(opened)).first->second;
}

bool DestinationFolder::makeFolder(const std::string& relativeFolder) { return folder(relativeFolder) != nullptr; }

bool DestinationFolder::create(const std::string& relativeName, bool executable, OutputFile& file) {
  file.file_ = platform::File();
  const std::size_t slash = relativeName.rfind('/');
  const platform::Folder* parent = folder(slash == std::string::npos ? std::string() : relativeName.substr(0, slash));
  if (parent == nullptr) return false;
  const std::string leaf = slash == std::string::npos ? relativeName : relativeName.substr(slash + 1);
  for (int attempt = 0; attempt < 3; ++attempt) {
    switch (platform::createFileIn(*parent, leaf, executable, file.file_)) {
      case platform::CreateOutcome::Created:
        return true;
      case platform::CreateOutcome::Failed:
        return false;
      case platform::CreateOutcome::Exists:
        break;
    }
    // Something stands there: replace a file or a link, never a folder or
    // a special file.
    const platform::PathKind existing = platform::pathKindIn(*parent, leaf);
    if (existing == platform::PathKind::Missing || existing == platform::PathKind::Unknown) continue;
    if (existing != platform::PathKind::File && existing != platform::PathKind::Link) return false;
    if (!platform::removeFileIn(*parent, leaf)) return false;
  }
  return false;
}

}  // namespace kv::archive
