// Paints whole launcher frames (main screen, and the Audio tab of the options
// panel) onto the Cairo off-screen frame with kvart's demo art, and prints
// the median time of one frame.
//
// Usage: kv_ui_paint_bench [FRAMES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../../tools/kvart/demo_art.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/cairo_canvas.h"
#include "platform/linux/linux_platform.h"
#include "ui/main_screen.h"
#include "ui/options_panel.h"
#include "ui/ui_resources.h"

namespace {

double medianMs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("kv-paint-bench-" + std::to_string(::getpid()))).string();
  std::string error;
  if (!kv::art::writeDemoArt(folder, kv::art::ArtLabel::EU, error)) {
    std::fprintf(stderr, "kv_ui_paint_bench: %s\n", error.c_str());
    return 1;
  }
  kv::platform::linux_backend::CairoGraphics graphics;
  // Repaint requests and sounds play no part in the timing.
  kv::platform::fake::FakeWindow window;
  kv::platform::fake::FakeAudio audio;
  kv::ui::UiState ui;
  kv::ui::createUiResources(ui, graphics, audio, window, folder);
  kv::platform::linux_backend::CairoFrame frame;
  kv::ui::StatusView status{1, 0.5f, "Downloading: data.pak (50%, 1200 KB/s)"};

  auto run = [&](const char* name) {
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
      const auto start = std::chrono::steady_clock::now();
      kv::ui::paintMainScreen(ui, status, frame.canvas());
      if (frame.pixels() == nullptr) return false;
      times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%-12s %d frames, median %.3f ms per frame\n", name, frames, medianMs(times));
    return true;
  };
  bool ok = run("main screen");
  ui.page = kv::ui::ScreenPage::AudioTab;
  kv::ui::buildAudioTab(ui, {});
  ok = run("audio tab") && ok;
  kv::ui::releaseUiResources(ui);
  std::filesystem::remove_all(folder);
  return ok ? 0 : 1;
}
