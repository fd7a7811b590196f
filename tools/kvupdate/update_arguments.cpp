#include "update_arguments.h"

namespace kv::tools {

UpdateParse parseUpdateArguments(const std::vector<std::string>& args, UpdateArguments& out,
                                 std::string& error) {
  UpdateArguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return UpdateParse::Help;
    if (arg != "--server") {
      error = "unexpected argument \"" + arg + "\"";
      return UpdateParse::Misuse;
    }
    if (i + 1 >= args.size()) {
      error = "--server needs a value";
      return UpdateParse::Misuse;
    }
    if (parsed.server != 0) {
      error = "--server given twice";
      return UpdateParse::Misuse;
    }
    const std::string& value = args[++i];
    if (value == "eu") {
      parsed.server = 1;
    } else if (value == "us") {
      parsed.server = 2;
    } else {
      error = "unknown server \"" + value + "\" (eu or us)";
      return UpdateParse::Misuse;
    }
  }
  out = parsed;
  return UpdateParse::Run;
}

const char* updateUsage() {
  return "usage: kvupdate [--server eu|us]\n"
         "Runs one update of a server's game client in the current folder, with the settings\n"
         "of \"system.kvml\" there. Exits 0 when the client is ready, 1 on an error.\n";
}

}  // namespace kv::tools
