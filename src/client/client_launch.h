#pragma once

#include <functional>
#include <string>

namespace kv::platform {
class Dialogs;
class Shell;
}  // namespace kv::platform

namespace kv::client {

// The client executable of a build inside serverPath, made absolute against
// the launcher's working directory: <server folder>/<build>.exe. Empty when
// serverPath is empty or no absolute path can be formed.
std::string clientExecutablePath(const std::string& serverPath, const std::string& buildName);

// Starts the build's executable from serverPath (the server's client folder,
// relative to the launcher's working directory or absolute) through shell,
// detached, without arguments, with the server folder as its working
// directory. Once the process exists, calls shutdownLauncher (which closes
// the launcher) and answers true. When it cannot be started, shows the
// "Failed to launch the game client executable." / "Launch Error" box owned
// by the main window, changes nothing else and answers false. Main thread.
// Callers may ignore the answer.
bool launchClient(const std::string& serverPath, const std::string& buildName,
                  platform::Shell& shell, platform::Dialogs& dialogs,
                  const std::function<void()>& shutdownLauncher);

}  // namespace kv::client
