#include "client/client_names.h"

namespace kv::client {

std::string clientExecutableName(const std::string& buildName) {
  return buildName + kExecutableSuffix;
}

std::string clientArchiveName(const std::string& buildName) { return buildName + kArchiveExtension; }

}  // namespace kv::client
