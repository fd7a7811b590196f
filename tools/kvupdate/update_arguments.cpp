#include "update_arguments.h"

#include <charconv>

#include "updater/site_config.h"

namespace kv::tools {

UpdateParse parseUpdateArguments(const std::vector<std::string>& args, UpdateArguments& out,
                                 std::string& error) {
  UpdateArguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return UpdateParse::Help;
    if (arg == "--verify") {
      if (parsed.verify) {
        error = "--verify given twice";
        return UpdateParse::Misuse;
      }
      parsed.verify = true;
      continue;
    }
    if (arg == "--limit-rate") {
      if (i + 1 >= args.size()) {
        error = "--limit-rate needs a value";
        return UpdateParse::Misuse;
      }
      if (parsed.limitRateKBps) {
        error = "--limit-rate given twice";
        return UpdateParse::Misuse;
      }
      const std::string& value = args[++i];
      std::int64_t rate = 0;
      const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), rate);
      if (problem != std::errc() || end != value.data() + value.size() || rate < 0 ||
          rate != updater::clampDownloadLimit(rate)) {
        error = "--limit-rate takes KB/s as a whole number from 0 (no limit), not \"" + value + "\"";
        return UpdateParse::Misuse;
      }
      parsed.limitRateKBps = rate;
      continue;
    }
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
  return "usage: kvupdate [--server eu|us] [--limit-rate KBPS] [--verify]\n"
         "Runs one update of a server's game client in the current folder, with the settings\n"
         "of \"system.kvml\" there. Exits 0 when the client is ready, 1 on an error.\n"
         "--limit-rate caps the downloads at KBPS KB/s in all (0: no limit) for this run.\n"
         "--verify reads every installed file, compares it with the manifest and fetches\n"
         "again what differs.\n";
}

}  // namespace kv::tools
