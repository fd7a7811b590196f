#include "client/client_launch.h"

#include <filesystem>
#include <system_error>

#include "client/client_names.h"
#include "platform/dialogs.h"
#include "platform/shell.h"

namespace kv::client {
namespace {

namespace fs = std::filesystem;

std::string absoluteFolder(const std::string& serverPath) {
  if (serverPath.empty()) return {};
  std::error_code ec;
  const fs::path folder = fs::absolute(serverPath, ec);
  if (ec) return {};
  fs::path normal = folder.lexically_normal();
  // "eu/" names the same folder as "eu".
  if (normal.filename().empty() && normal.has_relative_path()) normal = normal.parent_path();
  return normal.string();
}

}  // namespace

std::string clientExecutablePath(const std::string& serverPath, const std::string& buildName) {
  const std::string folder = absoluteFolder(serverPath);
  if (folder.empty() || buildName.empty()) return {};
  return (fs::path(folder) / clientExecutableName(buildName)).string();
}

bool launchClient(const std::string& serverPath, const std::string& buildName,
                  platform::Shell& shell, platform::Dialogs& dialogs,
                  const std::function<void()>& shutdownLauncher) {
  const std::string executable = clientExecutablePath(serverPath, buildName);
  const std::string folder = absoluteFolder(serverPath);
  if (!executable.empty() && !folder.empty() && shell.startProcess(executable, folder)) {
    if (shutdownLauncher) shutdownLauncher();
    return true;
  }
  (void)dialogs.messageBox(platform::MessageOwner::MainWindow, kLaunchFailedText,
                           kLaunchFailedTitle, platform::MessageButtons::Ok,
                           platform::MessageIcon::Error);
  return false;
}

}  // namespace kv::client
