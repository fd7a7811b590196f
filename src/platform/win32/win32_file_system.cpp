// File operations on Windows. Paths arrive as UTF-8 with "/" or "\"
// separators and are handed to the wide-character functions. Folders are
// held open without delete sharing, so while a Folder is open nobody can
// rename it or swap it for a link, and names below it resolve inside it.
// Reparse points (symbolic links, junctions) are never followed where the
// interface says links are not followed.
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/file_system.h"
#include "platform/native_path.h"
#include "platform/win32/wide_text.h"

namespace kv::platform {
namespace {

HANDLE handleOf(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t valueOf(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isMissingError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

std::string joinName(const std::string& folder, const std::string& name) { return folder + "/" + name; }

// Whether the installed faults fail this operation; GetLastError() then
// tells why.
bool faulted(FileOperation operation, const std::string& path, const std::string& target = {}) {
  switch (injectedFileFault(operation, path, target)) {
    case FileFault::None:
      return false;
    case FileFault::Denied:
      SetLastError(ERROR_ACCESS_DENIED);
      return true;
    case FileFault::DiskFull:
      SetLastError(ERROR_DISK_FULL);
      return true;
    case FileFault::IoError:
      SetLastError(ERROR_WRITE_FAULT);
      return true;
  }
  return false;
}

const std::string kNoPath;

// Attributes of the handle's file; false when they cannot be read.
bool attributesOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(handle, &info) != 0;
}

}  // namespace

PathKind pathKind(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(win32::widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return isMissingError(GetLastError()) ? PathKind::Missing : PathKind::Unknown;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::Link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Folder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
  return PathKind::File;
}

bool isRegularFile(const std::string& path) {
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK && attributesOf(handle, info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  return regular;
}

std::optional<std::uint64_t> regularFileSizeAt(const std::string& path) {
  // Opened without access rights: only the metadata is asked.
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK && attributesOf(handle, info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  if (!regular) return std::nullopt;
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool isFolder(const std::string& path) {
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool folder = attributesOf(handle, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  CloseHandle(handle);
  return folder;
}

std::filesystem::path nativePath(const std::string& path) { return std::filesystem::path(win32::widen(path)); }

std::string utf8Path(const std::filesystem::path& path) { return win32::narrow(path.wstring()); }

std::optional<std::uint64_t> freeSpaceAt(const std::string& path) {
  if (const std::optional<std::uint64_t> injected = injectedFreeSpace(path)) return injected;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(win32::widen(path).c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

bool matchPermissions(File& file, const std::string&) { return file.ok(); }

std::string linkTargetPath(const std::string& path) {
  if (pathKind(path) != PathKind::Link) return path;
  // The system resolves the whole chain when the file is opened; a link
  // whose target is missing cannot be resolved this way and is left as is.
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::wstring resolved(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, resolved.data(), static_cast<DWORD>(resolved.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length >= resolved.size()) {
    resolved.assign(length + 1, L'\0');
    length = GetFinalPathNameByHandleW(handle, resolved.data(), static_cast<DWORD>(resolved.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(handle);
  if (length == 0 || length >= resolved.size()) return path;
  resolved.resize(length);
  // "\\?\C:\x" names C:\x, "\\?\UNC\host\share" names \\host\share.
  if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    resolved = L"\\\\" + resolved.substr(8);
  } else if (resolved.rfind(L"\\\\?\\", 0) == 0) {
    resolved = resolved.substr(4);
  }
  std::replace(resolved.begin(), resolved.end(), L'\\', L'/');
  return win32::narrow(resolved);
}

PathKind targetKind(const std::string& path) {
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return isMissingError(GetLastError()) ? PathKind::Missing : PathKind::Unknown;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  PathKind kind = PathKind::Unknown;
  if (attributesOf(handle, info)) {
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      kind = PathKind::Folder;
    } else {
      kind = GetFileType(handle) == FILE_TYPE_DISK ? PathKind::File : PathKind::Other;
    }
  }
  CloseHandle(handle);
  return kind;
}

std::string lastErrorText() { return win32::systemMessage(GetLastError()); }

File::~File() {
  if (ok()) CloseHandle(handleOf(handle_));
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (ok()) CloseHandle(handleOf(handle_));
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File File::adopt(std::intptr_t handle) {
  File file;
  if (handle != kNone && handle != 0) file.handle_ = handle;
  return file;
}

bool File::write(const char* data, std::size_t size) {
  if (!ok() || faulted(FileOperation::Write, kNoPath)) return false;
  while (size > 0) {
    const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool File::writeAt(std::uint64_t offset, const char* data, std::size_t size) {
  if (!ok() || faulted(FileOperation::Write, kNoPath)) return false;
  while (size > 0) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), data, piece, &written, &where) || written == 0) return false;
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

std::int64_t File::readAt(std::uint64_t offset, char* out, std::size_t size) const {
  if (!ok()) return -1;
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD wanted = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(handleOf(handle_), out, wanted, &got, &where)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<std::int64_t>(got);
}

std::optional<std::uint64_t> File::regularFileSize() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!ok() || GetFileType(handleOf(handle_)) != FILE_TYPE_DISK || !attributesOf(handleOf(handle_), info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool File::flush() {
  return ok() && !faulted(FileOperation::Flush, kNoPath) && FlushFileBuffers(handleOf(handle_)) != 0;
}

bool File::close() {
  const std::intptr_t handle = std::exchange(handle_, kNone);
  if (handle == kNone) return false;
  const bool closed = CloseHandle(handleOf(handle)) != 0;
  return !faulted(FileOperation::Close, kNoPath) && closed;
}

File openForReading(const std::string& path) {
  if (faulted(FileOperation::Open, path)) return File();
  return File::adopt(valueOf(CreateFileW(win32::widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

File openForWriting(const std::string& path, WriteMode mode, FinalLink link) {
  if (faulted(FileOperation::Create, path)) return File();
  // A refused link is refused before anything changes; the attributes of
  // what was opened are checked too, in case one was put there since.
  const bool refuseLink = link == FinalLink::Refuse;
  if (refuseLink && pathKind(path) == PathKind::Link) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return File();
  }
  // Append-only access makes every write land at the end, also when several
  // processes share the file.
  const bool append = mode == WriteMode::Append;
  const DWORD share = FILE_SHARE_READ | (append ? FILE_SHARE_WRITE : 0);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (refuseLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  File file = File::adopt(valueOf(CreateFileW(win32::widen(path).c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                              share, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, flags,
                                              nullptr)));
  if (!file.ok()) return file;
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | (refuseLink ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!attributesOf(handleOf(file.native()), info) || (info.dwFileAttributes & refused) != 0 ||
      !file.regularFileSize()) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return File();
  }
  return file;
}

File lockExclusively(const std::string& path, LockOutcome& outcome) {
  outcome = LockOutcome::Failed;
  if (faulted(FileOperation::Create, path)) return File();
  if (pathKind(path) == PathKind::Link) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return File();
  }
  File file = File::adopt(valueOf(CreateFileW(win32::widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
  if (!file.ok()) return file;
  OVERLAPPED whole{};
  if (!LockFileEx(handleOf(file.native()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                  MAXDWORD, &whole)) {
    if (GetLastError() == ERROR_LOCK_VIOLATION) outcome = LockOutcome::Busy;
    return File();
  }
  outcome = LockOutcome::Taken;
  return file;
}

File createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
  if (faulted(FileOperation::Create, path)) return File();
  static std::atomic<unsigned> counter{0};
  const unsigned process = GetCurrentProcessId();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned number = counter.fetch_add(1) ^ (GetTickCount() << 8);
    // The name's suffix is 17 letters, digits and underscores, like the
    // six random characters of the POSIX names.
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%08x_%08x", process, number);
    const std::string candidate = path + "." + suffix;
    const HANDLE handle = CreateFileW(win32::widen(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      temporaryPath = candidate;
      return File::adopt(valueOf(handle));
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return File();
}

bool renameReplacing(const std::string& from, const std::string& to) {
  if (faulted(FileOperation::Rename, from, to)) return false;
  return MoveFileExW(win32::widen(from).c_str(), win32::widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::string& path) {
  if (faulted(FileOperation::Remove, path)) return false;
  const std::wstring wide = win32::widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (folder && !link) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // A link to a folder is removed as a folder entry; the folder it names
  // stays.
  return folder ? RemoveDirectoryW(wide.c_str()) != 0 : DeleteFileW(wide.c_str()) != 0;
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  if (faulted(FileOperation::Rename, from, to)) return false;
  // Without the replace flag the move fails on anything at to, also an
  // empty folder.
  return MoveFileExW(win32::widen(from).c_str(), win32::widen(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

ExchangeOutcome exchangePaths(const std::string& a, const std::string& b) {
  if (faulted(FileOperation::Exchange, a, b)) return ExchangeOutcome::Failed;
  // Windows has no atomic exchange of two folders.
  return ExchangeOutcome::Unsupported;
}

CreateOutcome makeFolder(const std::string& path) {
  if (faulted(FileOperation::Create, path)) return CreateOutcome::Failed;
  if (CreateDirectoryW(win32::widen(path).c_str(), nullptr)) return CreateOutcome::Created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? CreateOutcome::Exists : CreateOutcome::Failed;
}

void flushFolderOf(const std::string&) {
  // The file system journals renames itself; a folder cannot be flushed
  // without administrator rights.
}

Folder::~Folder() {
  if (ok()) CloseHandle(handleOf(handle_));
}

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (ok()) CloseHandle(handleOf(handle_));
    handle_ = std::exchange(other.handle_, kNone);
    path_ = std::move(other.path_);
  }
  return *this;
}

Folder Folder::adopt(std::intptr_t handle, std::string path) {
  Folder folder;
  if (handle != kNone && handle != 0) {
    folder.handle_ = handle;
    folder.path_ = std::move(path);
  }
  return folder;
}

namespace {

// Opens a folder without delete sharing; a reparse point is refused unless
// followLink.
Folder openFolderHandle(const std::string& path, bool followLink) {
  if (faulted(FileOperation::Open, path)) return Folder();
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle = CreateFileW(win32::widen(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Folder();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!attributesOf(handle, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    CloseHandle(handle);
    SetLastError(ERROR_DIRECTORY);
    return Folder();
  }
  return Folder::adopt(valueOf(handle), path);
}

}  // namespace

Folder openFolder(const std::string& path) { return openFolderHandle(path, true); }

Folder openFolderIn(const Folder& parent, const std::string& name) {
  if (!parent.ok()) return Folder();
  return openFolderHandle(joinName(parent.path(), name), false);
}

CreateOutcome createFileIn(const Folder& folder, const std::string& name, bool, File& file) {
  file = File();
  if (!folder.ok() || faulted(FileOperation::Create, joinName(folder.path(), name))) return CreateOutcome::Failed;
  // Creating a new file fails on anything standing at the name, a link
  // included, so nothing is ever written through a link.
  const HANDLE handle =
      CreateFileW(win32::widen(joinName(folder.path(), name)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    file = File::adopt(valueOf(handle));
    return CreateOutcome::Created;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateOutcome::Exists
                                                                      : CreateOutcome::Failed;
}

File openForReadingIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || faulted(FileOperation::Open, joinName(folder.path(), name))) return File();
  File file = File::adopt(valueOf(CreateFileW(win32::widen(joinName(folder.path(), name)).c_str(), GENERIC_READ,
                                              kShareAll, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
  if (!file.ok()) return file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!attributesOf(handleOf(file.native()), info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      !file.regularFileSize()) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return File();
  }
  return file;
}

File createOrTruncateIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return File();
  const std::string path = joinName(folder.path(), name);
  if (faulted(FileOperation::Create, path)) return File();
  // A link at the name is refused, never written through.
  if (pathKind(path) == PathKind::Link) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return File();
  }
  return File::adopt(valueOf(CreateFileW(win32::widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr)));
}

CreateOutcome makeFolderIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return CreateOutcome::Failed;
  return makeFolder(joinName(folder.path(), name));
}

bool removeFolderIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return false;
  const std::string path = joinName(folder.path(), name);
  if (faulted(FileOperation::Remove, path)) return false;
  if (pathKind(path) != PathKind::Folder) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  return RemoveDirectoryW(win32::widen(path).c_str()) != 0;
}

bool listNames(const Folder& folder, std::vector<std::string>& names) {
  if (!folder.ok()) return false;
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileW(win32::widen(joinName(folder.path(), "*")).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::string name = win32::narrow(entry.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &entry));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  std::sort(names.begin(), names.end());
  return complete;
}

PathKind pathKindIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return PathKind::Unknown;
  return pathKind(joinName(folder.path(), name));
}

bool removeFileIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return false;
  const std::string path = joinName(folder.path(), name);
  switch (pathKind(path)) {
    case PathKind::Missing:
      return true;
    case PathKind::Folder:
    case PathKind::Unknown:
      return false;
    default:
      return removeFile(path);
  }
}

bool removeFolderTreeIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || pathKindIn(folder, name) != PathKind::Folder) return false;
  // The shell removes the tree in one call: faults are asked about the
  // folder itself only.
  if (faulted(FileOperation::Remove, joinName(folder.path(), name))) return false;
  // The shell's delete takes a full path, ends its list with two NULs, and
  // with these flags neither asks, shows progress, nor uses the recycle bin.
  // It removes links below the folder as links.
  const std::wstring relative = win32::widen(joinName(folder.path(), name));
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) return false;
  full.resize(length);
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  full.push_back(L'\0');  // the second NUL ends the list
  SHFILEOPSTRUCTW operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = full.c_str();
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;  // 0x614
  (void)SHFileOperationW(&operation);
  return pathKindIn(folder, name) == PathKind::Missing;
}

}  // namespace kv::platform
