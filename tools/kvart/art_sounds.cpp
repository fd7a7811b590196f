// The demo sounds' MP3 encoding by lame.
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "demo_art.h"

extern char** environ;

namespace kv::art {

bool encodeMp3(const std::string& wavPath, const std::string& mp3Path, std::string& error) {
  std::vector<std::string> args = {"lame", "--quiet", "-b", "128", wavPath, mp3Path};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "lame", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    error = std::string("cannot run lame: ") + std::strerror(rc);
    return false;
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "lame failed to encode " + wavPath;
    return false;
  }
  return true;
}

}  // namespace kv::art
