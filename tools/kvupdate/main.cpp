// kvupdate: one update run of a server's game client, without a window.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "update_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return kv::tools::runUpdateTool(args, stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
}
