// Runs the launcher's OpenGL probe once in a process of its own and prints
// what it found, so that each run sees its own environment:
//   version:<driver version string>   or   version:none
//   renderer:<name shown on screen>
//   build:<client build>
//   repaints:<number of full repaints asked for>
// With --video-up the video subsystem is started first, as the main window
// does, and "video-still-up:<0|1>" tells whether the probe left it running.
#include <SDL.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client/build_selection.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  const bool videoUp = argc > 1 && std::strcmp(argv[1], "--video-up") == 0;
  if (videoUp && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::printf("video-init-failed:%s\n", SDL_GetError());
    return 2;
  }
  kv::platform::linux_backend::LinuxMachine machine("/nonexistent");
  const auto version = machine.probeOpenGLVersion();
  std::printf("version:%s\n", version ? version->c_str() : "none");

  kv::platform::fake::FakeWindow window;
  kv::client::RendererChoice choice;
  (void)kv::client::probeOpenGL(machine, window, choice);
  std::printf("renderer:%s\n", choice.rendererName.c_str());
  std::printf("build:%s\n", kv::client::clientBuildName(choice, machine).c_str());
  std::printf("repaints:%d\n", window.fullInvalidations());
  if (videoUp) {
    std::printf("video-still-up:%d\n", SDL_WasInit(SDL_INIT_VIDEO) != 0 ? 1 : 0);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
  return 0;
}
