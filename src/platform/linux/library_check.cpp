#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/linux_machine.h"
#include "platform/pe/pe_exports.h"

namespace kv::platform::linux_backend {
namespace {

// A Windows library bigger than this is not read.
constexpr off_t kMaxPeImageSize = 256 * 1024 * 1024;

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to size bytes from the start of fd; false on a read error.
bool readPrefix(int fd, std::uint8_t* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, buffer + got, size - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Whether the symbol is defined by the library of handle itself; a lookup
// through a handle also finds the symbols of the libraries it depends on.
bool definedByLibrary(void* handle, const std::string& symbol) {
  ::dlerror();
  void* address = ::dlsym(handle, symbol.c_str());
  if (address == nullptr) return false;
  link_map* library = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &library) != 0 || library == nullptr) return false;
  Dl_info info{};
  void* owner = nullptr;
  if (::dladdr1(address, &info, &owner, RTLD_DL_LINKMAP) == 0 || owner == nullptr) return false;
  return static_cast<link_map*>(owner) == library;
}

// Loads the ELF shared object into this process, looks the symbol up and
// unloads it again; its start-up code runs, as with any library load.
bool elfLibraryExports(const std::string& path, const std::string& symbol) {
  // A name without a slash would be searched along the library path.
  const std::string loadPath = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = ::dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  const bool found = definedByLibrary(handle, symbol);
  ::dlclose(handle);
  return found;
}

}  // namespace

bool LinuxMachine::libraryExports(const std::string& path, const std::string& symbol) {
  if (path.empty() || symbol.empty()) return false;
  // Non-blocking, so that a FIFO or a device in the library's place cannot
  // stall the launcher; only regular files are libraries.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file.get() < 0) return false;
  struct stat st{};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  std::array<std::uint8_t, 4> magic{};
  std::size_t got = 0;
  if (!readPrefix(file.get(), magic.data(), magic.size(), got)) return false;
  if (got == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
    return elfLibraryExports(path, symbol);
  }
  if (got >= 2 && magic[0] == 'M' && magic[1] == 'Z') {
    if (st.st_size > kMaxPeImageSize) return false;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(st.st_size));
    if (!readPrefix(file.get(), image.data(), image.size(), got)) return false;
    image.resize(got);
    return peExportsSymbol(image, symbol);
  }
  return false;
}

}  // namespace kv::platform::linux_backend
