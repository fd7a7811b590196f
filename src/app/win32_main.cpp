// The entry point of the Windows launcher.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/launcher.h"
#include "platform/win32/win32_platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
  // The backend lives until the process ends: updater workers that were
  // detached at shutdown may still post to the window.
  auto* backend = new kv::platform::win32::Win32Platform(showCommand);
  const int code = kv::app::runLauncher(backend->platform());
  std::fflush(nullptr);
  // End at once, without running destructors under detached workers.
  std::_Exit(code);
}
