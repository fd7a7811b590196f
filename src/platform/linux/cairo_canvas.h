#pragma once

#include <memory>

#include "platform/canvas.h"

namespace kv::platform::linux_backend {

// One off-screen frame: a Cairo ARGB32 image surface (premultiplied, native
// byte order, i.e. SDL_PIXELFORMAT_ARGB8888 on little-endian machines) and a
// Canvas that draws onto it. The window creates one frame, hands canvas() to
// the painter, then copies pixels() (stride() bytes per row) to the screen.
// Main thread only.
class CairoFrame {
 public:
  // A frame of width x height logical pixels, each scale device pixels wide
  // and high (a high-density screen): the canvas takes logical pixels and
  // draws text, lines and pictures at the device's resolution. A frame that
  // could not be made still gives a canvas whose calls draw nothing and
  // pixels() == nullptr.
  explicit CairoFrame(int width = 518, int height = 324, double scale = 1.0);
  ~CairoFrame();
  CairoFrame(const CairoFrame&) = delete;
  CairoFrame& operator=(const CairoFrame&) = delete;

  // Clears the frame to opaque black and gives the canvas for one paint.
  // Every call of the previous paint is finished when this returns.
  Canvas& canvas();

  // The frame's pixels after the paint (flushed); null when the surface
  // could not be created.
  [[nodiscard]] const unsigned char* pixels();
  // Bytes per row of pixels().
  [[nodiscard]] int stride() const;
  // The frame's size in device pixels.
  [[nodiscard]] int width() const;
  [[nodiscard]] int height() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace kv::platform::linux_backend
