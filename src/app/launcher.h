#pragma once

#include <functional>

#include "platform/platform.h"

namespace kv::updater {
struct UpdaterWorker;
}

namespace kv::app {

// What a caller may change about the launcher; the program passes nothing.
struct LauncherOptions {
  // The body of every updater worker thread; empty: one update run of the
  // worker's server against the game's site.
  std::function<void(updater::UpdaterWorker&)> runWorker;
};

// The launcher from start to end on the calling (main) thread: refuses a
// second instance, creates the window, reads the settings, checks the
// machine identity, opens audio, loads the interface, warns about a missing
// runtime, chooses the client build, starts the current server's updater and
// runs the event loop until the launcher shuts down. Returns the process exit
// code, 0 in every case. The launcher's state is never freed: workers that
// were detached at shutdown may still read their records.
int runLauncher(platform::Platform& platform, LauncherOptions options = {});

// The address opened when the game client's runtime is missing.
inline constexpr const char* kRuntimeDownloadPage =
    "https://aka.ms/vs/17/release/vc_redist.x64.exe";
inline constexpr const char* kRuntimeMissingText =
    "The required Microsoft Visual C++ 2015 Redistributable is missing.\n\n"
    "Click OK to download and install it.";
inline constexpr const char* kRuntimeMissingTitle = "Missing Component";

}  // namespace kv::app
