// Runs the launcher's OpenGL probe once in a process of its own and prints
// what it found, so that each run sees its own environment:
//   probes:<times the driver was asked>
//   version:<driver version string>   or   version:none
//   renderer:<name shown on screen>
//   build:<client build>
//   repaints:<number of full repaints asked for>
// With --video-up the video subsystem is started first and a plain window is
// made, as the launcher's main window does; "video-still-up:<0|1>" and
// "window-still-there:<0|1>" tell whether the probe left both alone.
#include <SDL.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "client/build_selection.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/linux_platform.h"

namespace {

// The real machine, remembering what its driver answered, so that the
// version printed is the one the launcher's choice was made on (one probe
// per process, as in the launcher).
class RecordingMachine : public kv::platform::Machine {
 public:
  explicit RecordingMachine(kv::platform::Machine& real) : real_(real) {}
  std::string executablePath() override { return real_.executablePath(); }
  std::string profileFolder() override { return real_.profileFolder(); }
  std::string machineIdentity() override { return real_.machineIdentity(); }
  bool runtimeInstalled() override { return real_.runtimeInstalled(); }
  bool is64Bit() override { return real_.is64Bit(); }
  bool claimSingleInstance(const std::string& className) override {
    return real_.claimSingleInstance(className);
  }
  std::optional<std::string> probeOpenGLVersion() override {
    answer = real_.probeOpenGLVersion();
    ++probes;
    return answer;
  }
  bool libraryExports(const std::string& path, const std::string& symbol) override {
    return real_.libraryExports(path, symbol);
  }

  std::optional<std::string> answer;
  int probes = 0;

 private:
  kv::platform::Machine& real_;
};

}  // namespace

int main(int argc, char** argv) {
  const bool videoUp = argc > 1 && std::strcmp(argv[1], "--video-up") == 0;
  if (videoUp && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::printf("video-init-failed:%s\n", SDL_GetError());
    return 2;
  }
  SDL_Window* mainWindow =
      videoUp ? SDL_CreateWindow("Vandrel", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 518, 324,
                                 SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN)
              : nullptr;
  const Uint32 mainWindowId = mainWindow != nullptr ? SDL_GetWindowID(mainWindow) : 0;
  kv::platform::linux_backend::LinuxMachine real("/nonexistent", kv::platform::linux_backend::probeOpenGLWithSdl);
  RecordingMachine machine(real);
  kv::platform::fake::FakeWindow window;
  kv::client::RendererChoice choice;
  (void)kv::client::probeOpenGL(machine, window, choice);
  std::printf("probes:%d\n", machine.probes);
  std::printf("version:%s\n", machine.answer ? machine.answer->c_str() : "none");
  std::printf("renderer:%s\n", choice.rendererName.c_str());
  std::printf("build:%s\n", kv::client::clientBuildName(choice, machine).c_str());
  std::printf("repaints:%d\n", window.fullInvalidations());
  if (videoUp) {
    std::printf("video-still-up:%d\n", SDL_WasInit(SDL_INIT_VIDEO) != 0 ? 1 : 0);
    std::printf("window-still-there:%d\n",
                mainWindowId != 0 && SDL_GetWindowFromID(mainWindowId) == mainWindow ? 1 : 0);
    if (mainWindow != nullptr) SDL_DestroyWindow(mainWindow);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
  return 0;
}
