#include "client/client_launch.h"

#include "client/client_names.h"
#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "platform/shell.h"

namespace kv::client {

std::string clientExecutablePath(const std::string& serverPath, const std::string& buildName) {
  const std::string folder = platform::absolutePath(serverPath);
  if (folder.empty() || buildName.empty()) return {};
  const char last = folder.back();
  const bool separated = last == '/' || last == '\\';  // a root folder
  return folder + (separated ? "" : "/") + clientExecutableName(buildName);
}

bool launchClient(const std::string& serverPath, const std::string& buildName,
                  platform::Shell& shell, platform::Dialogs& dialogs,
                  const std::function<void()>& shutdownLauncher) {
  const std::string executable = clientExecutablePath(serverPath, buildName);
  const std::string folder = platform::absolutePath(serverPath);
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
