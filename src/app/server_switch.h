#pragma once

#include <functional>

#include "app/app_state.h"

namespace kv::app {

// What a server switch and a worker start need from the rest of the
// launcher. Bound once by the start-up code; tests bind recorders.
struct ServerHooks {
  // releaseUiResources + createUiResources for the current server.
  std::function<void()> reloadUiResources;
  // Recompute the local-configuration flag and the configuration-path line.
  std::function<void()> refreshConfigPathLine;
  // The body of a worker thread: one update run for worker.server.
  std::function<void(updater::UpdaterWorker&)> runWorker;
};

// The folder of a server relative to the installation ("<base>/eu").
std::string serverPath(const AppState& state, int server);

// Compares the machine's identity with the stored "machine_id"; on a change
// removes the current server's "manifest.json" and "manifest.meta" and saves
// the new identity at once. Main thread, once at start-up.
void checkMachineIdentity(AppState& state);

// Reads the sound switches and volumes of the configuration in force and the
// current server's recorded Last-Modified text. Main thread.
void loadServerSettings(AppState& state);

// Starts the server's updater unless it already has a worker: "Connecting...",
// Play disabled, not ready, a new worker record and its thread. An invalid
// server index starts nothing. Main thread.
void startServerUpdater(AppState& state, int server, const ServerHooks& hooks);

// Makes target (1 or 2) the current server: saves and reloads the
// configuration, stores the choice, reloads the interface, starts the
// target's updater if it has none, and shows its stored status. The worker of
// the server left keeps running. Main thread.
void switchServer(AppState& state, int target, const ServerHooks& hooks);

// Sets the Play widget's look, repainting its rectangle when it changes.
void setPlayState(AppState& state, ui::WidgetState newState);

}  // namespace kv::app
