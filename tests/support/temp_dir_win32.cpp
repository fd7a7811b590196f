// The temporary folders of the tests, for test programs built for Windows
// (temp_dir.cpp uses POSIX calls).
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/win32/wide_text.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace kv::test {

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
  const std::string root = platform::win32::narrow(base);
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = root + "kvtest-" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(GetTickCount()) + "-" + std::to_string(attempt);
    if (CreateDirectoryW(platform::win32::widen(candidate).c_str(), nullptr)) {
      path_ = candidate;
      for (char& c : path_) {
        if (c == '\\') c = '/';
      }
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace kv::test
