#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::tools {

// The command line of the headless updater:
// kvupdate [--server eu|us] [--limit-rate KBPS] [--verify]
struct UpdateArguments {
  int server = 0;  // 1 (eu) or 2 (us); 0: the one chosen in "system.kvml"
  std::optional<std::int64_t> limitRateKBps;  // given: replaces "downloadLimitKBps"
  bool verify = false;  // read every installed file and repair what differs
};

enum class UpdateParse { Run, Help, Misuse };

// Reads the arguments after the program name; Misuse leaves the reason in
// error.
UpdateParse parseUpdateArguments(const std::vector<std::string>& args, UpdateArguments& out,
                                 std::string& error);

// The usage text printed for --help and after misuse.
const char* updateUsage();

}  // namespace kv::tools
