#include <SDL.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/linux/cairo_canvas.h"
#include "platform/linux/display_scale.h"
#include "platform/linux/linux_platform.h"
#include "platform/pixel_scale.h"

namespace kv::platform::linux_backend {

// Backend state of the window. The event types are registered once per
// process; reports travel as heap copies in user events.
struct SdlWindow::State {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  SDL_Cursor* arrow = nullptr;
  SDL_Cursor* hand = nullptr;
  WindowHandler* handler = nullptr;
  std::unique_ptr<CairoFrame> frame;
  WindowSpec spec;
  Uint32 reportEvent = 0;  // 0 until registered
  Uint32 wakeEvent = 0;
  std::thread::id mainThread;
  std::atomic<bool> dirty{true};
  std::atomic<bool> wakePending{false};
  std::atomic<bool> quit{false};
  // While a dialog blocks the window: true once the window was uncovered
  // (the dialog over it has gone), false again when it loses the focus to
  // the next one. Window thread only.
  bool uncoveredWhileBlocked = false;
  bool videoStarted = false;
  Cursor cursor = Cursor::Arrow;
  // Device pixels per logical pixel, fixed when the window is made. The
  // launcher lays out and hit-tests in logical pixels; SDL speaks device
  // pixels.
  double scale = 1.0;

  int logical(int devicePixels) const { return toLogical(devicePixels, scale); }
};

namespace {

// Input younger than this survives a dialog's turn (see keepPaintedWhileBlocked).
constexpr Uint32 kBlockedInputGraceMs = 150;

SDL_HitTestResult hitTest(SDL_Window*, const SDL_Point* area, void* data) {
  auto* state = static_cast<SdlWindow::State*>(data);
  if (state->handler != nullptr &&
      state->handler->isDragArea(state->logical(area->x), state->logical(area->y))) {
    return SDL_HITTEST_DRAGGABLE;
  }
  return SDL_HITTEST_NORMAL;
}

void paintFrame(SdlWindow::State& s);

}  // namespace

SdlWindow::SdlWindow() : state_(std::make_unique<State>()) {}

SdlWindow::~SdlWindow() {
  // Free the reports that were never delivered.
  if (state_->reportEvent != 0 && SDL_WasInit(SDL_INIT_EVENTS) != 0) {
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, state_->reportEvent, state_->reportEvent) > 0) {
      delete static_cast<Report*>(event.user.data1);
    }
  }
  if (state_->texture != nullptr) SDL_DestroyTexture(state_->texture);
  if (state_->renderer != nullptr) SDL_DestroyRenderer(state_->renderer);
  if (state_->window != nullptr) SDL_DestroyWindow(state_->window);
  if (state_->arrow != nullptr) SDL_FreeCursor(state_->arrow);
  if (state_->hand != nullptr) SDL_FreeCursor(state_->hand);
  if (state_->videoStarted) SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

bool SdlWindow::create(const WindowSpec& spec, WindowHandler& handler) {
  State& s = *state_;
  s.spec = spec;
  s.handler = &handler;
  s.mainThread = std::this_thread::get_id();
  // A click that gives the window focus back (for instance right after a
  // message box closed) is a click like any other.
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  s.videoStarted = true;
  const Uint32 first = SDL_RegisterEvents(2);
  if (first == static_cast<Uint32>(-1)) return false;
  s.reportEvent = first;
  s.wakeEvent = first + 1;
  s.window = SDL_CreateWindow(spec.title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              spec.width, spec.height, SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN);
  if (s.window == nullptr) return false;
  // On a high-density desktop the window keeps its layout and takes as many
  // device pixels as the desktop's scale asks.
  const char* gdkScale = std::getenv("GDK_SCALE");
  s.scale = desktopScaleFrom(gdkScale != nullptr ? gdkScale : "", x11Resources(s.window));
  s.frame = std::make_unique<CairoFrame>(spec.width, spec.height, s.scale);
  if (s.scale != 1.0) {
    // Made again at its device size, so the window system centres it as it
    // is (a hidden window that grows keeps the place of its first size).
    SDL_DestroyWindow(s.window);
    s.window = SDL_CreateWindow(spec.title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                s.frame->width(), s.frame->height(),
                                SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN);
    if (s.window == nullptr) return false;
  }
  SDL_SetWindowHitTest(s.window, hitTest, &s);
  s.renderer = SDL_CreateRenderer(s.window, -1, SDL_RENDERER_SOFTWARE);
  if (s.renderer != nullptr) {
    s.texture = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_ARGB8888,
                                  SDL_TEXTUREACCESS_STREAMING, s.frame->width(), s.frame->height());
    if (s.texture != nullptr) SDL_SetTextureBlendMode(s.texture, SDL_BLENDMODE_NONE);
  }
  s.arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
  s.hand = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
  return true;
}

void SdlWindow::show() {
  if (state_->window == nullptr) return;
  SDL_ShowWindow(state_->window);
  SDL_RaiseWindow(state_->window);
  invalidate();
}

void SdlWindow::update() {
  State& s = *state_;
  if (s.handler == nullptr) return;
  // Let the window system map the window first, then draw the frame.
  SDL_PumpEvents();
  paintFrame(s);
}

void SdlWindow::minimize() {
  if (state_->window != nullptr) SDL_MinimizeWindow(state_->window);
}

void SdlWindow::invalidate() {
  State& s = *state_;
  s.dirty.store(true);
  // Wake the loop when called from a worker; the main thread paints at the
  // end of its turn anyway.
  if (std::this_thread::get_id() == s.mainThread || s.wakeEvent == 0) return;
  if (s.wakePending.exchange(true)) return;
  SDL_Event event{};
  event.type = s.wakeEvent;
  if (SDL_PushEvent(&event) != 1) s.wakePending.store(false);
}

void SdlWindow::invalidateRect(Rect) {
  // Every paint draws the whole frame; a rectangle is as good as all.
  invalidate();
}

void SdlWindow::setCursor(Cursor cursor) {
  State& s = *state_;
  if (cursor == s.cursor) return;
  s.cursor = cursor;
  SDL_Cursor* c = cursor == Cursor::Hand ? s.hand : s.arrow;
  if (c != nullptr) SDL_SetCursor(c);
}

void SdlWindow::captureMouse() { SDL_CaptureMouse(SDL_TRUE); }

void SdlWindow::releaseMouse() { SDL_CaptureMouse(SDL_FALSE); }

Rect SdlWindow::frame() const {
  Rect r;
  if (state_->window == nullptr) return r;
  SDL_GetWindowPosition(state_->window, &r.x, &r.y);
  SDL_GetWindowSize(state_->window, &r.width, &r.height);
  return r;
}

bool SdlWindow::post(Report report) {
  State& s = *state_;
  if (s.reportEvent == 0) return false;
  auto* payload = new Report(std::move(report));
  SDL_Event event{};
  event.type = s.reportEvent;
  event.user.data1 = payload;
  if (SDL_PushEvent(&event) != 1) {
    delete payload;  // never queued: the sender still owns it
    return false;
  }
  return true;
}

void SdlWindow::quit() {
  State& s = *state_;
  s.quit.store(true);
  if (s.wakeEvent == 0) return;
  SDL_Event event{};
  event.type = s.wakeEvent;
  SDL_PushEvent(&event);
}

namespace {

void paintFrame(SdlWindow::State& s) {
  s.dirty.store(false);
  if (s.handler == nullptr || s.frame == nullptr) return;
  s.handler->onPaint(s.frame->canvas());
  const unsigned char* pixels = s.frame->pixels();
  if (pixels == nullptr || s.texture == nullptr) return;
  SDL_UpdateTexture(s.texture, nullptr, pixels, s.frame->stride());
  SDL_RenderClear(s.renderer);
  SDL_RenderCopy(s.renderer, s.texture, nullptr, nullptr);
  SDL_RenderPresent(s.renderer);
}

void dispatch(SdlWindow::State& s, const SDL_Event& event) {
  WindowHandler& h = *s.handler;
  if (event.type == s.reportEvent) {
    std::unique_ptr<Report> report(static_cast<Report*>(event.user.data1));
    if (report) h.onReport(*report);
    return;
  }
  if (event.type == s.wakeEvent) {
    s.wakePending.store(false);
    return;
  }
  switch (event.type) {
    case SDL_QUIT:
      h.onDestroy();
      break;
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_EXPOSED ||
          event.window.event == SDL_WINDOWEVENT_SHOWN ||
          event.window.event == SDL_WINDOWEVENT_RESTORED) {
        s.dirty.store(true);
      } else if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
        h.onDestroy();
      }
      break;
    case SDL_MOUSEMOTION: {
      const int x = s.logical(event.motion.x);
      const int y = s.logical(event.motion.y);
      h.onMouseMove(x, y);
      const Cursor cursor = h.cursorAt(x, y);
      if (cursor != s.cursor) {
        s.cursor = cursor;
        SDL_Cursor* c = cursor == Cursor::Hand ? s.hand : s.arrow;
        if (c != nullptr) SDL_SetCursor(c);
      }
      break;
    }
    case SDL_MOUSEBUTTONDOWN:
      if (event.button.button == SDL_BUTTON_LEFT) {
        h.onButtonDown(s.logical(event.button.x), s.logical(event.button.y));
      }
      break;
    case SDL_MOUSEBUTTONUP:
      if (event.button.button == SDL_BUTTON_LEFT) {
        h.onButtonUp(s.logical(event.button.x), s.logical(event.button.y));
      }
      break;
    default:
      break;
  }
}

}  // namespace

void SdlWindow::run() {
  State& s = *state_;
  if (s.handler == nullptr || s.reportEvent == 0) return;
  SDL_Event event;
  while (!s.quit.load()) {
    if (s.dirty.load()) paintFrame(s);
    if (SDL_WaitEvent(&event) == 0) break;
    dispatch(s, event);
    // Handle everything that is already queued before painting again.
    while (!s.quit.load() && SDL_PollEvent(&event) != 0) dispatch(s, event);
    s.uncoveredWhileBlocked = false;
  }
}

}  // namespace kv::platform::linux_backend

namespace kv::platform::linux_backend {

SDL_Window* SdlWindow::sdlWindow() const { return state_->window; }

bool SdlWindow::onWindowThread() const {
  return state_->window != nullptr && state_->handler != nullptr &&
         std::this_thread::get_id() == state_->mainThread;
}

void SdlWindow::keepPaintedWhileBlocked() {
  State& s = *state_;
  if (!onWindowThread()) return;
  SDL_PumpEvents();
  // Input of the blocked window is dropped, in queue order, unless it came
  // after the window was uncovered (the dialog over it closed) or in the
  // last moment: both may be the player's first input after the dialog,
  // before its thread noticed the end, and stay for the event loop.
  struct Pass {
    State* state;
    Uint32 cutoff;
  } pass{&s, SDL_GetTicks()};
  pass.cutoff = pass.cutoff > kBlockedInputGraceMs ? pass.cutoff - kBlockedInputGraceMs : 0;
  SDL_FilterEvents(
      [](void* data, SDL_Event* e) -> int {
        auto* p = static_cast<Pass*>(data);
        if (e->type == SDL_WINDOWEVENT) {
          if (e->window.event == SDL_WINDOWEVENT_EXPOSED) p->state->uncoveredWhileBlocked = true;
          if (e->window.event == SDL_WINDOWEVENT_FOCUS_LOST) p->state->uncoveredWhileBlocked = false;
          return 1;
        }
        const bool input = e->type >= SDL_KEYDOWN && e->type <= SDL_MULTIGESTURE;
        return input && !p->state->uncoveredWhileBlocked && e->common.timestamp < p->cutoff ? 0 : 1;
      },
      &pass);
  SDL_Event event;
  while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_WINDOWEVENT, SDL_WINDOWEVENT) > 0) {
    const auto what = event.window.event;
    if (what == SDL_WINDOWEVENT_EXPOSED || what == SDL_WINDOWEVENT_SHOWN ||
        what == SDL_WINDOWEVENT_RESTORED) {
      s.dirty.store(true);
    }
  }
  if (s.dirty.load()) paintFrame(s);
}

}  // namespace kv::platform::linux_backend
