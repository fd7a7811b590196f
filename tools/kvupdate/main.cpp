// kvupdate: one update run of a server's game client, without a window.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/linux_machine.h"
#include "update_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  const int columns = terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  kv::platform::linux_backend::LinuxMachine machine;
  return kv::tools::runUpdateTool(args, machine, stdout, stderr, terminal, columns);
}
